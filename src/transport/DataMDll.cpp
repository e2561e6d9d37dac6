#include "DataMDll.h"

TDMDLL::TDMDLL() : SocLeitura(plat::NewTcpClient()) {
    SocLeitura->OnError = &SocLeituraError;
}

TDMDLL::~TDMDLL() {
    // Releasing the module makes the connection inactive.
    SocLeitura->OnRead = nullptr;
    SocLeitura->Close();
}

void TDMDLL::SocLeituraError(plat::ErrorKind, int& errorCode) {
    errorCode = 0;
}
