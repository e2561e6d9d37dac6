#include "DataMDll.h"

TDMDLL::TDMDLL() : SocLeitura(plat::NewTcpClient()) {}

TDMDLL::~TDMDLL() {
    // Releasing the module makes the connection inactive.
    SocLeitura->OnRead = nullptr;
    SocLeitura->Close();
}
