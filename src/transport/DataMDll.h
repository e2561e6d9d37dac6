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

    std::unique_ptr<plat::TcpClient> SocLeitura;
};
