#include "history/CHistoryListing.h"

#include "foundation/CZelFormat.h"
#include "foundation/CZelXmlNode.h"
#include "foundation/ZelDateTime.h"
#include "foundation/ZelNumbers.h"
#include "history/CMessageHistory.h"
#include "protocol/ZelProtocolVocabulary.h"

#include <algorithm>
#include <initializer_list>

namespace {

using H = CMessageHistory;

// The first of the attributes that holds a time stamp.
int64_t FirstTime(const CZelXmlNode& entry, std::initializer_list<const char*> attributes)
{
    for (const char* attribute : attributes) {
        int64_t value = 0;
        if (ParseDecimal(entry.GetAttr(attribute), value) && value > 0)
            return value;
    }
    return 0;
}

void AddReportWord(const CZelXmlNode& entry, std::vector<std::string>& words)
{
    const CZelString report = entry.GetAttr(kAttrAbuseReport);
    if (report == kAdminAbuseSpam)
        words.push_back(CHistoryLine::kSpam);
    else if (report == kAdminAbuseVirus)
        words.push_back(CHistoryLine::kVirus);
    else if (!report.IsEmpty())
        words.push_back(report.ToStd());
}

CHistoryLine SentLine(const CZelXmlNode& entry)
{
    CHistoryLine line;
    line.outgoing = true;
    line.time = FirstTime(entry, {H::kAttrLocalSentTimeStamp, H::kAttrSentTimeStamp, H::kAttrDelivered,
                                  kAttrAbuseReportTimeStamp});
    line.peer = entry.GetAttr(kAttrEmail);
    line.messageId = entry.GetAttr(kAttrMessageId);
    if (entry.GetAttr(H::kAttrSent) == H::kSentTrue)
        line.words.push_back(CHistoryLine::kSent);
    if (!entry.GetAttr(H::kAttrDelivered).IsEmpty())
        line.words.push_back(CHistoryLine::kDelivered);
    AddReportWord(entry, line.words);
    return line;
}

CHistoryLine ReceivedLine(const CZelXmlNode& entry)
{
    CHistoryLine line;
    line.time = FirstTime(entry, {H::kAttrLocalDownloaded, H::kAttrLocalDelivered, kAttrSentMessageTimeStamp});
    line.peer = entry.GetAttr(kAttrEmail);
    line.messageId = entry.GetAttr(kAttrMessageId);
    if (!entry.GetAttr(H::kAttrLocalDownloaded).IsEmpty())
        line.words.push_back(CHistoryLine::kDownloaded);
    if (!entry.GetAttr(H::kAttrLocalDelivered).IsEmpty())
        line.words.push_back(CHistoryLine::kRetrieved);
    AddReportWord(entry, line.words);
    return line;
}

std::string OrNone(const CZelString& text)
{
    return text.IsEmpty() ? std::string(CHistoryLine::kNone) : text.ToStd();
}

std::string TimeField(int64_t time)
{
    if (time <= 0)
        return CHistoryLine::kNone;
    const CZelString text = Format("%S.%03d", DateTimeText(time / 1000000), static_cast<int>(time / 1000 % 1000));
    return text.ToStd();
}

} // namespace

std::string CHistoryLine::Text() const
{
    std::string status;
    for (const std::string& word : words)
        status += (status.empty() ? "" : " ") + word;
    const std::string gap = "  ";
    return std::string(outgoing ? kOut : kIn) + gap + TimeField(time) + gap + OrNone(peer) + gap + OrNone(messageId) +
           gap + (status.empty() ? std::string(kNone) : status);
}

std::vector<CHistoryLine> HistoryLines(const CZelXmlDocument& history)
{
    std::vector<CHistoryLine> lines;
    const std::vector<CZelXmlNode> received = H::LastEntries(history, H::kSectionReceived);
    const std::vector<CZelXmlNode> sent = H::LastEntries(history, H::kSectionSent);
    for (auto entry = received.rbegin(); entry != received.rend(); ++entry)
        lines.push_back(ReceivedLine(*entry));
    for (auto entry = sent.rbegin(); entry != sent.rend(); ++entry)
        lines.push_back(SentLine(*entry));
    std::stable_sort(lines.begin(), lines.end(),
                     [](const CHistoryLine& a, const CHistoryLine& b) { return a.time > b.time; });
    return lines;
}
