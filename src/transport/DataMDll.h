// TDMDLL: the TCP transport of a channel, holding the reading connection SocLeitura to one
// serial channel of the network converter.
#pragma once

#include "platform.h"

#include <memory>

class TDMDLL {
  public:
    TDMDLL();
    ~TDMDLL();
    TDMDLL(const TDMDLL&) = delete;
    TDMDLL& operator=(const TDMDLL&) = delete;

    // The module's error handler: every error of the reading connection is dropped.
    static void SocLeituraError(plat::ErrorKind kind, int& errorCode);

    std::unique_ptr<plat::TcpClient> SocLeitura;
};
