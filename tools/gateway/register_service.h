// The register in the running gateway (its start and stop in the event log, a verification in
// the background at start) and the gateway's commands on it (--verify-weighings,
// --prune-weighings).
#pragma once

#include "config.h"
#include "register.h"

#include <atomic>
#include <memory>
#include <string>
#include <thread>

namespace gateway {

class RegisterService {
  public:
    // Opens the register of `cfg.weighings` (making it, and its key, at the first start), logs
    // the start with the program's and the configuration file's SHA-256, and verifies it in the
    // background. nullptr with `error` when it cannot be used: the gateway does not start.
    static std::unique_ptr<RegisterService> Start(const Config& cfg, std::string& error);
    ~RegisterService(); // Stop()
    RegisterService(const RegisterService&) = delete;
    RegisterService& operator=(const RegisterService&) = delete;

    // Ends the background verification, answers what is queued and logs the stop.
    void Stop();
    Register& Store() { return *register_; }

  private:
    RegisterService() = default;
    std::unique_ptr<Register> register_;
    std::atomic<bool> cancel_{false};
    std::thread verifier_;
    bool stopped_ = false;
};

// --verify-weighings (`prune` false) or --prune-weighings on the register of `cfg`: prints the
// outcome and returns the exit status (0 good or done; 2 a record or event fails verification;
// 1 the register cannot be opened, or the prune failed; 78 no [register] table).
int RegisterCommand(const Config& cfg, bool prune);

} // namespace gateway
