#include "transport/MCError.h"

EMCError::EMCError(std::int32_t code) : std::runtime_error(MCErrorText(code)), FErrorCode(code) {}

const char* MCErrorText(std::int32_t code) noexcept
{
    switch (code) {
    case 1: return "This method should be called within Messenger creator thread";
    case 2: return "Use destination messenger's thread context.";
    case 3: return "Messenger Queue name must be specified.";
    case 4: return "No suitable transport found";
    case 5: return "Bad destination address format";
    case 6: return "Security descriptor initialization failed";
    case 8: return "Transport failure due to unexpected error";
    case 9: return "Decryptor not found";
    case 10: return "Decompressor not found";
    case 11: return "Handler for incoming signature is not found";
    case 12: return "Invalid signature in data stream";
    case 13: return "Timeout during tranferring message";
    case 14: return "Invalid key specified for encryption component";
    case 15: return "Not enough memory to perform operation";
    case 16: return "Sender presented invalid credentials";
    case 17: return "Message delivery time exceeds message lifetime";
    case 25: return "Reply is deferred. It is internal error code. Please write us bug report.";
    case 28: return "Transport is inactive";
    case 101: return "No messenger name specified";
    case 102: return "Creation of memory mapping failed";
    case 103: return "Creation of memory mapping access mutex failed";
    case 201: return "Operation called on invalid socket";
    case 202: return "Socket is in state that is not acceptable for current operation";
    case 203: return "Failed to initialize Winsock";
    case 204: return "Invalid address specified";
    case 205: return "Connection failed";
    case 206: return "Connection to remote host was lost";
    case 301: return "Cannot parse HTTP header - seems it is invalid.";
    case 501: return "Socks: No acceptable authentication methods";
    case 502: return "Socks: Authentication failure";
    case 503: return "General SOCKS server failure";
    case 504: return "Socks: connection not allowed by ruleset";
    case 505: return "Socks: Network unreachable";
    case 506: return "Socks: Host unreachable";
    case 507: return "Socks: Connection refused";
    case 508: return "Socks: TTL expired";
    case 509: return "Socks: Command not supported";
    case 510: return "Socks: Address type not supported";
    default: return "Unspecified error";
    }
}
