#include "core/CVelmoApp.h"

#include "core/CAccountChangeFlags.h"
#include "core/CAutostart.h"
#include "core/CConfig.h"
#include "core/CLocalTls.h"
#include "core/CLogMirror.h"
#include "core/CProtocolListData.h"
#include "core/CServiceSlots.h"
#include "core/CStartSwitches.h"
#include "core/CTranslations.h"
#include "foundation/CZelFile.h"
#include "foundation/CZelFormat.h"
#include "foundation/XTOOError.h"
#include "foundation/ZelGlobalLocks.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <limits.h>
#include <ostream>
#include <sys/stat.h>
#include <unistd.h>

CVelmoApp::CVelmoApp(Options options, Hooks hooks) : m_options(std::move(options)), m_hooks(std::move(hooks)) {}

CZelString CVelmoApp::ExecutablePath()
{
    char buffer[PATH_MAX + 1];
    const ssize_t length = readlink("/proc/self/exe", buffer, PATH_MAX);
    if (length <= 0)
        return CZelString();
    return CZelString(buffer, static_cast<int32_t>(length));
}

CZelString CVelmoApp::ResolveHome(const std::string& homeOption)
{
    if (!homeOption.empty())
        return CZelString(homeOption);
    if (const char* home = std::getenv(kHomeVariable); home && *home)
        return CZelString(home);
    const CZelString executable = ExecutablePath();
    const int32_t slash = executable.ReverseFind('/');
    if (slash < 0)
        return CZelString(".");
    return slash == 0 ? CZelString("/") : executable.Left(slash);
}

bool CVelmoApp::EnterHome(const CZelString& home, CZelString* error)
{
    struct stat info {};
    int code = 0;
    if (stat(home.Ptr(), &info) != 0) {
        // A new home is private from the start, like the keys and mail it will hold.
        if (errno != ENOENT || !CZelFile::MkDirs(home, CZelFile::kPrivateFolderPermissions))
            code = mkdir(home.Ptr(), CZelFile::kPrivateFolderPermissions) == 0 ? 0 : errno;
    } else if (!S_ISDIR(info.st_mode)) {
        code = ENOTDIR;
    }
    if (code == 0 && chdir(home.Ptr()) != 0)
        code = errno;
    if (code != 0) {
        if (error)
            *error = Format("cannot use %S as the home folder: %s", &home, std::strerror(code));
        return false;
    }
    try {
        // Every velmo working on this home, the gateway and each command, takes turns on its
        // files through this one lock.
        ZelShareDataLockThrough(kDataLockFileName);
    } catch (const XTOOError& failure) {
        if (error)
            *error = failure.GetText();
        return false;
    }
    return true;
}

bool CVelmoApp::DisplayMissing()
{
    const char* x11 = std::getenv("DISPLAY");
    const char* wayland = std::getenv("WAYLAND_DISPLAY");
    return !(x11 && *x11) && !(wayland && *wayland);
}

void CVelmoApp::RequestStop()
{
    {
        std::lock_guard<std::mutex> hold(m_lock);
        m_stopRequested = true;
    }
    m_wake.notify_all();
}

bool CVelmoApp::StopRequested() const
{
    std::lock_guard<std::mutex> hold(m_lock);
    return m_stopRequested;
}

void CVelmoApp::StartServices()
{
    const CConfig& config = CConfig::Global();
    CServiceSlots::Global().Start(config.SmtpServerPort(), config.Pop3ServerPort());
}

void CVelmoApp::StopServices()
{
    CServiceSlots::Global().Stop(m_hooks.stopSocketThread);
}

void CVelmoApp::HandleSwitches()
{
    const CStartSwitches switches = CStartSwitches::Parse(m_options.words);
    if (switches.FirstStartCount() > 0) {
        const CAutostart autostart;
        const CZelString executable = ExecutablePath();
        // Each "/firststart" writes the entry; nothing is shown either way.
        for (int i = 0; i < switches.FirstStartCount(); ++i)
            autostart.Add(executable);
    }
    if (switches.Convert())
        CStartSwitches::RunConvertSteps();
}

void CVelmoApp::WaitForStop()
{
    std::unique_lock<std::mutex> hold(m_lock);
    for (;;) {
        m_wake.wait(hold, [this] { return m_stopRequested || m_changesPending; });
        if (m_changesPending) {
            m_changesPending = false;
            hold.unlock();
            // No window shows the changes: take them out so the map does not grow.
            CAccountChangeFlags::Global().Drain();
            hold.lock();
        }
        if (m_stopRequested)
            return;
    }
}

void CVelmoApp::LoadTranslations(std::ostream& err)
{
    CZelString problem;
    if (!LoadTrStrings(kLanguageFileName, &problem) && !problem.IsEmpty())
        err << "velmo: " << problem.View() << std::endl;  // English texts stand in
}

void CVelmoApp::AnnounceStart(std::ostream& out)
{
    // Through the log mirror, so the line keeps its place among the log lines.
    CLogMirror::Global().WriteNow(out, Translate(kStartedText, kTextSource));
}

void CVelmoApp::WireHeadlessOutput(std::ostream& out, std::ostream& err)
{
    SmtpLog().MirrorTo(&out, kSmtpLogPrefix);
    Pop3Log().MirrorTo(&out, kPop3LogPrefix);
    CZelStartServerThread::SetErrorSink(
        [&err](const CZelString& text) { CLogMirror::Global().WriteNow(err, "velmo: " + text); });
    CAccountChangeFlags::Global().SetNotifier([this] {
        {
            std::lock_guard<std::mutex> hold(m_lock);
            m_changesPending = true;
        }
        m_wake.notify_all();
    });
}

void CVelmoApp::UnwireHeadlessOutput()
{
    SmtpLog().MirrorTo(nullptr, CZelString());
    Pop3Log().MirrorTo(nullptr, CZelString());
    CZelStartServerThread::SetErrorSink({});
    CAccountChangeFlags::Global().SetNotifier({});
}

void CVelmoApp::InstallLocalTls(std::ostream& err)
{
    std::string problem;
    if (!CLocalTls::Install(CConfig::Global(), problem))
        err << "velmo: the local servers offer no TLS: " << problem << std::endl;
}

int CVelmoApp::Run(std::ostream& out, std::ostream& err)
{
    CZelString problem;
    if (!EnterHome(m_options.home, &problem)) {
        err << "velmo: " << problem.View() << std::endl;
        return 1;
    }

    LoadTranslations(err);
    try {
        if (m_hooks.socketsStart)
            m_hooks.socketsStart();
    } catch (const XTOOError& error) {
        err << kErrorCaption << ": " << error.Text() << std::endl;
        UnLoadTrStrings();
        return 1;
    }

    CConfig::Global().Load();
    CZelStartServerThread::SetListenOnAnyAddress(m_options.listenAny);
    InstallLocalTls(err);
    HandleSwitches();

    int exitCode = 0;
    if (!m_options.headless && m_hooks.runWindow) {
        exitCode = m_hooks.runWindow(*this);
    } else {
        WireHeadlessOutput(out, err);
        StartServices();
        AnnounceStart(out);
        WaitForStop();
        StopServices();
        UnwireHeadlessOutput();
    }

    if (m_hooks.socketsStop)
        m_hooks.socketsStop();
    UnLoadTrStrings();
    return exitCode;
}
