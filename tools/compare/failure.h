// The one way kivo-compare stops early: a Failure carries the one-line message that main prints after
// "kivo-compare: " and the exit status it returns.
#pragma once

#include <stdexcept>
#include <string>

namespace kivo_compare {

enum ExitStatus { kExitOk = 0, kExitFailure = 1, kExitUsage = 2 };

class Failure : public std::runtime_error {
public:
    explicit Failure(const std::string& message, int exit_status = kExitFailure)
        : std::runtime_error(message), exit_status_(exit_status) {}
    int exit_status() const { return exit_status_; }

private:
    int exit_status_;
};

}  // namespace kivo_compare
