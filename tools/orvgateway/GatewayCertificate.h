#pragma once

#include <string>

// "$XDG_STATE_HOME/orvalis-gateway", else "$HOME/.local/state/orvalis-gateway";
// empty when neither variable is set.
std::string DefaultGatewayStateDir();

struct TGatewayCertificateFiles
{
    std::string CertFile;
    std::string KeyFile;
};

// The self-signed certificate and key in the state folder ("gateway.crt",
// "gateway.key"), made on first use and reused later. Creates the folder
// (mode 0700) as needed. Gateways starting at the same time on one folder
// take turns, so they end up with the same pair. Throws std::runtime_error
// with the reason.
TGatewayCertificateFiles EnsureSelfSignedCertificate(const std::string& stateDir);
