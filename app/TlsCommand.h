#pragma once
// `velmo tls fingerprint`: the SHA-256 fingerprint of the certificate the local SMTP and POP3
// servers present, for the user to compare with what the mail client shows before trusting
// it. The gateway's own pair is made here when the gateway has not started yet.

class CCommandTable;

void AddTlsCommand(CCommandTable& table);
