#pragma once
// CPop3MessageFile: one stored message as a session reads it. The file is opened under the
// data lock and then read without it: an open file keeps its text even when the download or a
// removal renames or deletes the name meanwhile, and no lock is held while the text goes out
// to the client.

#include "foundation/CZelFile.h"
#include "foundation/CZelString.h"

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

class CPop3MessageFile {
public:
    // Receives the next piece of an answer; false stops the sending.
    using Sink = std::function<bool(const std::string& piece)>;

    // False when the file cannot be opened.
    bool Open(const CZelString& path);

    // The length of the text as the answer carries it (see CPop3TextFilter); -1 when the file
    // cannot be read.
    int64_t PreparedLength(int64_t bodyLines);
    enum class ESend {
        Sent,         // the whole answer went out
        Stopped,      // the sink stopped it
        Unreadable,   // the file could not be read, or its text is no longer `expectedBytes` long
    };
    // Sends `head`, the prepared text and `tail` in pieces of about kPop3TextPieceBytes. With
    // `expectedBytes` (not negative) the tail goes only when the text had exactly that length,
    // so a client told a length never gets an end mark after a different text.
    ESend Send(int64_t bodyLines, std::string_view head, std::string_view tail, int64_t expectedBytes,
               const Sink& sink);

    // The value of the header's first "Message-ID:" line, as the message's own unique id:
    // blanks around it and an enclosing "<...>" taken off. Empty when the header has none or
    // the file cannot be read.
    CZelString HeaderMessageId();

private:
    bool Rewind();
    // The next piece of the file into m_piece; false at the end or on a read failure
    // (m_failed tells which).
    bool ReadPiece();

    CZelFile m_file;
    std::string m_piece;
    bool m_failed = false;
};

// The unique id a "Message-ID:" header line gives (the line without its line end); empty when
// the line is no such header or its value is empty.
CZelString Pop3MessageIdOfHeaderLine(std::string_view line);
