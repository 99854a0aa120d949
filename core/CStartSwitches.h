#pragma once
// The start-up switches of the command line. Each word is compared exactly (case-sensitive);
// other words are not switches. The switches are recorded process-wide so that the code that
// loads accounts and histories can ask for "/convert" when it runs.

#include "foundation/CZelString.h"

#include <functional>
#include <string>
#include <vector>

class CStartSwitches {
public:
    static constexpr const char* kFirstStart = "/firststart";
    static constexpr const char* kConvert = "/convert";

    // Reads the switches out of the words and records them process-wide.
    static CStartSwitches Parse(const std::vector<std::string>& words);

    int FirstStartCount() const noexcept { return m_firstStart; }  // each one writes the entry
    bool Convert() const noexcept { return m_convert; }

    // Process-wide record of the last parsed switches.
    static bool ConvertRequested() noexcept;
    static void SetConvertRequested(bool value) noexcept;

    // "/convert": the account and history conversion to UTF-8 is supplied by the code that owns
    // those files; it registers its step here and start-up runs it once, after the
    // configuration is loaded and before the services start.
    using ConvertStep = std::function<void()>;
    static void AddConvertStep(ConvertStep step);
    static int RunConvertSteps();   // the number of steps run
    static void ClearConvertSteps();

private:
    int m_firstStart = 0;
    bool m_convert = false;
};
