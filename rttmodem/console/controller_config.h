// SPDX-License-Identifier: Apache-2.0
#pragma once
// The call controller's settings from the command line, the same for the console and the modem.
#include <string>

#include "controller.h"
#include "options.h"

namespace rttmodem::console {

inline call::ControllerConfig controllerConfig(const Options& o) {
  call::ControllerConfig cc;
  cc.host = o.host;
  cc.sipPort = o.sipPort;
  cc.user = o.user;
  cc.generations = o.generations;
  cc.loss = o.loss;
  cc.impair = o.impair;
  cc.reinviteSeconds = o.reinvite;
  cc.holdSeconds = o.hold;
  cc.textOnly = o.textOnly;
  cc.addTextSeconds = o.addText;
  cc.seed = o.seed;
  cc.answerTimeoutSeconds = o.answerTimeout;
  cc.refuseStatus = o.refuse;
  cc.traceDir = o.traceDir;
  if (!o.registerUri.empty()) {
    std::string user;
    cc.registrar = *registrarOf(o.registerUri, &user);
    cc.aor = o.registerUri;
    cc.credentials = {o.authUser, o.password};
    cc.acceptDirect = o.acceptDirect;
  }
  return cc;
}

}  // namespace rttmodem::console
