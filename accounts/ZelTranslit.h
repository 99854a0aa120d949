#pragma once
// Names as the central server and the lists carry them besides the UTF-8 original: a Latin
// transliteration (by the windows-1251 table of Cyrillic letters) and the UTF-16 form.

#include "foundation/CZelString.h"

// The 66 Latin texts, dot-separated, for the source bytes E0..E5, B8, E6..FF, C0..C5, A8, C6..DF.
inline constexpr char kTranslitTable[] =
    "a.b.v.g.d.e.e.zh.z.i.y.k.l.m.n.o.p.r.s.t.u.f.h.ts.ch.sh.sch.'.y.'.e.yu.ya."
    "A.B.V.G.D.E.E.Zh.Z.I.Y.K.L.M.N.O.P.R.S.T.U.F.H.Ts.Ch.Sh.Sch.'.Y.'.E.Yu.Ya.";

// windows-1251 bytes to Latin text; bytes outside the table are copied unchanged.
CZelString TransliterateCp1251(const CZelString& text);
// A UTF-8 name: to 16-bit text, to windows-1251 (unmappable characters become '?'), then the
// table. "Щукин Ёж" gives "Schukin Ezh".
CZelString Transliterate(const CZelString& utf8Name);
// A UTF-8 name as little-endian 16-bit units, no terminator and no byte order mark.
CZelString UnicodeName(const CZelString& utf8Name);
