#include "accounts/ZelConfiguredServer.h"

#include "core/CConfig.h"

CZelServerAddress ConfiguredServerAddress()
{
    const CConfig& config = CConfig::Global();
    return {config.Get(CConfig::kServer), config.Get(CConfig::kUrl), config.Get(CConfig::kServerFingerprint)};
}
