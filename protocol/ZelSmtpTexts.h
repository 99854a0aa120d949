#pragma once
// The outgoing-mail texts: SMTP replies, SMTP log lines, activity texts and limits, each written
// once. Texts that pass through the translation table keep the program's own spelling, since
// that spelling is the translation key.

#include <cstdint>

// --- The upload of a queued message file. ---
inline constexpr char kSmtpTextSendingOne[] = "Sending message %1 in %2 KB parts...";
inline constexpr char kSmtpTextSendingMany[] = "Sending message to %1 recepients in %2 KB parts...\n";
inline constexpr char kSmtpTextProgress[] = "Sending e-mail: %1 of %2 bytes of data are sent...";
inline constexpr char kSmtpLogProgress[] = "Sending e-mail: %,D of %,D bytes of data are sent...";
inline constexpr char kSmtpTextSentHead[] = "Message to the following recepients is sent\n";
inline constexpr char kSmtpTextSentTo[] = "Message %1 is sent to %2<%3> at %4.%5\n";
inline constexpr char kSmtpTextMessageSent[] = "Message is sent";
inline constexpr char kSmtpTextSendFailed[] = "Message (%1 bytes) sent failed: %2\nMessage Ids and recepients are:\n";
inline constexpr char kSmtpTextFailedRecipient[] = "%1, %2<%3>\n";
inline constexpr char kSmtpLogAckDecryptError[] = "eRepSendBlock decrypt error\n";
inline constexpr char kSmtpLogAckDataError[] = "eRepSendBlock data error\n";
inline constexpr char kSmtpLogStatusError[] = "eMessageIsSent: error at point 7\n";
inline constexpr char kSmtpLogFileError[] = "error: %s\n";
inline constexpr char kSmtpLogLineEnd[] = "\n";

// --- The upload loop. ---
inline constexpr int kSmtpOutboxPollMs = 100;
inline constexpr int kSmtpRetryPauseMs = 120000;

// --- Service start. ---
inline constexpr int32_t kSmtpMinPort = 1;
inline constexpr int32_t kSmtpMaxPort = 65535;
inline constexpr char kSmtpLogBadPort[] = "SMTP server: port %d is outside 1-65535; the server is not started\n";
