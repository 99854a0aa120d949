#pragma once
// The autostart entry: an XDG autostart file "velmo.desktop" in $XDG_CONFIG_HOME/autostart
// (~/.config/autostart when the variable is unset, empty or not absolute) whose Exec line is
// the executable's full path. Adding writes the file whole (temporary file, then rename);
// removing deletes it and does not mind when it was already gone.

#include "foundation/CZelString.h"

class CAutostart {
public:
    static constexpr const char* kEntryFileName = "velmo.desktop";

    // The user's entry file, from the environment.
    CAutostart();
    // An entry file at an explicit place (tests, other desktops).
    explicit CAutostart(const CZelString& entryPath);

    const CZelString& EntryPath() const noexcept { return m_entryPath; }

    struct Outcome {
        bool ok = false;
        CZelString failure;  // "CreateRegError ..." / "WriteRegError ..." when not ok
        bool unknown = false;  // failed without a text of its own
    };
    Outcome Add(const CZelString& executablePath) const;
    Outcome Remove() const;

    // What the user is told: "Successfull" or "Sad, but completed" (translated), or
    // "Error: <failure>", or "Unknown error".
    static CZelString AddMessage(const Outcome& outcome);
    static CZelString RemoveMessage(const Outcome& outcome);

    // The text of the entry file for an executable.
    static CZelString EntryText(const CZelString& executablePath);
    // One Exec argument, quoted and escaped as desktop entries require.
    static CZelString QuoteExecArgument(const CZelString& argument);
    // The entry file from the environment's XDG_CONFIG_HOME and HOME.
    static CZelString DefaultEntryPath();

private:
    CZelString m_entryPath;
};
