// quillmere-helper: the root daemon. It takes no arguments and no settings; systemd starts it
// on the first connection to its socket.

#include <optional>
#include <string>

#include "helper/ConnectionAcceptor.h"
#include "helper/HelperDelegate.h"
#include "helper/HelperLog.h"
#include "platform/Identity.h"
#include "platform/Logger.h"
#include "platform/Sockets.h"
#include "protocol/HelperNames.h"

int main() {
  using namespace quillmere;
  platform::StderrLogger logger;
  HelperDelegate delegate{logger};

  auto listening = platform::obtainListeningSocket(std::string{helperSocketPath},
                                                   platform::lookupGroup(helperGroupName));
  if (!listening) {
    logHelperLine(logger, "Cannot listen: " + listening.error().describe());
    return 1;
  }
  const platform::UniqueFd listeningSocket = std::move(listening).value();
  ConnectionAcceptor acceptor{listeningSocket.get(), delegate, logger};

  logHelperLine(logger, "Started and listening for connections");
  acceptor.run();
  return 1;
}
