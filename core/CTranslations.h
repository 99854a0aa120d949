#pragma once
// Translation of the program's English texts by the language file "Velmo_lang.xml".
//
// Every user-visible text passes through Translate together with the name of the source file
// that uses it; the language file maps (source file, English text) pairs to translations.
// The table is filled once at start-up, before any service thread runs, and emptied at the
// end; in between any thread may look texts up. Until a load has finished, and after the
// unload, every text comes back as written.

#include "foundation/CZelString.h"

// The language file shipped beside the executable.
inline constexpr char kLanguageFileName[] = "Velmo_lang.xml";

// Loads the language file, replacing any earlier table. 1 when the file was read and parsed,
// 0 otherwise (the table is then empty, or holds what was read before the failure).
// `message`, when given, receives why the load failed, ready to be shown:
//   "Error in language translation file \"%1\"\nLine: %2, Column: %3, Error: %4" (a parse error),
//   "Error: %1" (a file error), "Unknown error in language translation file \"%1\"";
// it is left empty on success and when the file simply does not exist (no language file means
// English, which is nothing to report).
int LoadTrStrings(const CZelString& fileName, CZelString* message = nullptr);

// Empties the table; every text is shown as written again.
void UnLoadTrStrings();

// The translation of `text` as used in `sourceFile` (a bare name such as "SmtpServer.cpp" or a
// path; __FILE__ will do), or `text` itself when there is none.
CZelString Translate(const CZelString& text, const char* sourceFile);

// The table's key for a source file: the name after its last '\' or '/', upper-cased
// (UTF-8 aware), so "tr.cpp", "src\TR.CPP" and "TR.cpp" meet.
CZelString TranslationFileKey(const CZelString& fileName);

// True between the end of a load and the unload.
bool TranslationsEnabled();
