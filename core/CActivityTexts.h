#pragma once
// CActivityTexts: the two process-wide activity texts the transfer loops keep up to date (what
// is being sent, what is being received) and the window shows in the notification area. Any
// thread may set or read them; a reader always gets one whole text.

#include "foundation/CZelString.h"

class CActivityTexts {
public:
    static CZelString Sending();
    static void SetSending(const CZelString& text);
    static CZelString Receiving();
    static void SetReceiving(const CZelString& text);
};
