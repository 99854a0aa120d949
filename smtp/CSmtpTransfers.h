#pragma once
// StartSmtpTransfers: the outbox upload loop, the body of the service thread in mode 3. Each
// pass (at start, and whenever the outbox event is set) walks every account's queued files in
// number order and uploads them with eMessageIsSent, deleting a file only on the server's
// verdict and dropping an Outbox key file that no queued file and no session needs.

class CZelStartServerThread;

void StartSmtpTransfers(CZelStartServerThread& self);
