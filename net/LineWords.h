#pragma once
// The words of a command line, as the text sessions (SMTP, POP3) take them apart: upper-casing
// for comparison, the line end, the first blank- or tab-separated word, and the form a line
// takes in a log when what follows its first words may be a secret.

#include "foundation/CZelString.h"

#include <cstddef>

// ASCII letters upper-cased; every other byte kept.
CZelString AsciiUpper(const CZelString& text);

// The line without one trailing CR LF.
CZelString StripLineEnd(const CZelString& raw);

// The text without CR and LF, fit to stand inside one reply or log line.
CZelString OneLine(const CZelString& text);

// The line's first word and what follows it once the blanks after the word are gone. With
// `skipLeadingBlanks`, blanks before the word are passed over; without, a line that starts
// with a blank has an empty first word.
struct LineWords {
    CZelString word;
    CZelString rest;
};
LineWords SplitFirstWord(const CZelString& line, bool skipLeadingBlanks);

// Whether `word` equals one of `words` (both compared as given).
template<size_t N>
bool IsOneOf(const CZelString& word, const char* const (&words)[N])
{
    for (const char* candidate : words) {
        if (word == candidate)
            return true;
    }
    return false;
}

// The line cut after its first `keptWords` words (blanks before and between them kept as
// sent), with `mark` standing for anything that followed. A line of no more words comes back
// whole.
CZelString MaskAfterWords(const CZelString& line, int keptWords, const char* mark);
