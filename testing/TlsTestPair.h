#pragma once
// Test helpers for the tls tests: a fresh self-signed pair on disk, and two streams pumped
// into each other in memory until neither side can make progress.

#include "foundation/testing/TempDir.h"
#include "tls/CTlsCertificate.h"
#include "tls/CTlsContext.h"
#include "tls/CTlsStream.h"

#include <string>

namespace tls_testing {

struct SavedPair {
    velmo_testing::TempDir dir{"velmo-tls"};
    std::string certificateFile = (dir.Path() / "local.crt").string();
    std::string keyFile = (dir.Path() / "local.key").string();

    explicit SavedPair(const std::string& hostName = "gateway.example")
    {
        CTlsCertificate::MakeSelfSigned(hostName).Save(certificateFile, keyFile);
    }
};

// Moves ciphertext both ways and steps both handshakes until both are done or one has failed.
inline void PumpHandshake(CTlsStream& client, CTlsStream& server,
                          CTlsStream::EStep& clientStep, CTlsStream::EStep& serverStep)
{
    using EStep = CTlsStream::EStep;
    clientStep = serverStep = EStep::NeedInput;
    for (int round = 0; round < 20; ++round) {
        if (clientStep != EStep::Failed)
            clientStep = client.Handshake();
        server.PutIncoming(client.TakeOutgoing());
        if (serverStep != EStep::Failed)
            serverStep = server.Handshake();
        client.PutIncoming(server.TakeOutgoing());
        const bool clientOver = clientStep == EStep::Done || clientStep == EStep::Failed;
        const bool serverOver = serverStep == EStep::Done || serverStep == EStep::Failed;
        if ((clientOver && serverOver) || clientStep == EStep::Failed || serverStep == EStep::Failed) {
            // Let the last alert or ticket reach the other side.
            if (clientStep != EStep::Failed)
                clientStep = client.Handshake();
            if (serverStep != EStep::Failed)
                serverStep = server.Handshake();
            return;
        }
    }
}

} // namespace tls_testing
