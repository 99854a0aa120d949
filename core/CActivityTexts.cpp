#include "core/CActivityTexts.h"

#include <mutex>

namespace {

struct Texts {
    std::mutex lock;
    CZelString sending;
    CZelString receiving;
};

Texts& Shared()
{
    static Texts texts;
    return texts;
}

} // namespace

CZelString CActivityTexts::Sending()
{
    std::lock_guard<std::mutex> hold(Shared().lock);
    return Shared().sending;
}

void CActivityTexts::SetSending(const CZelString& text)
{
    std::lock_guard<std::mutex> hold(Shared().lock);
    Shared().sending = text;
}

CZelString CActivityTexts::Receiving()
{
    std::lock_guard<std::mutex> hold(Shared().lock);
    return Shared().receiving;
}

void CActivityTexts::SetReceiving(const CZelString& text)
{
    std::lock_guard<std::mutex> hold(Shared().lock);
    Shared().receiving = text;
}
