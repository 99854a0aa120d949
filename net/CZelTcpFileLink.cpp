#include "net/CZelTcpFileLink.h"

#include <sys/eventfd.h>
#include <unistd.h>

CZelTcpFileLink::CZelTcpFileLink()
    : wakeHandle(::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC))
{
}

CZelTcpFileLink::~CZelTcpFileLink()
{
    if (wakeHandle >= 0)
        ::close(wakeHandle);
}

void CZelTcpFileLink::WakeDirectWaiters()
{
    if (wakeHandle < 0)
        return;
    const uint64_t one = 1;
    [[maybe_unused]] ssize_t written = ::write(wakeHandle, &one, sizeof one);
}
