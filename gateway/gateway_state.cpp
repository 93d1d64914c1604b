#include "gateway/gateway_state.h"

namespace brenvik {

std::vector<std::string> AcceptedDomains;
std::vector<std::string> RelayAddresses;
std::atomic<int> StopRequested{0};

}  // namespace brenvik
