// Drives the installed C++ interface.
// Usage: consumer_cpp <base directory>
#include <vexa_core/core_session.hpp>

#include <iostream>
#include <string>
#include <utility>

int main(int argc, char** argv) {
    vexa_core::CoreSession session;
    vexa_core::InitializeOptions options;
    options.base_dir = argc > 1 ? argv[1] : ".";
    options.host_policy_flags = vexa_core::policy_no_persistence;
    const bool ok = session.initialize(options);
    std::cout << "initialize=" << ok << " last_error=" << session.last_error() << "\n";
    vexa_core::CoreSession moved(std::move(session));
    const vexa_core::ChatResult result = moved.send_text_stream("hello");
    moved.shutdown();
    return ok && !result.success ? 0 : 1;
}
