#include "server/CCentralHttpServer.h"

#include "server/CCentralHttpFront.h"

CCentralHttpServer::CCentralHttpServer(CCentralServer& server, CCentralHttpOptions options)
    : m_front(std::make_unique<CCentralHttpFront>(
          [&server](std::string body) { return std::string(server.Handle(CZelString(body)).View()); }, options))
{
}

CCentralHttpServer::~CCentralHttpServer()
{
    Stop();
}

void CCentralHttpServer::UseTls(const CTlsContext& context)
{
    m_front->UseTls(context);
}

int CCentralHttpServer::Start(const std::string& host, int port, std::string* error)
{
    return m_front->Start(host, port, error);
}

void CCentralHttpServer::Stop()
{
    m_front->Stop();
}

bool CCentralHttpServer::IsRunning() const
{
    return m_front->IsRunning();
}

size_t CCentralHttpServer::OpenConnections() const
{
    return m_front->OpenConnections();
}
