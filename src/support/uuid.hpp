#pragma once

#include <string>

namespace vexa {

// Random version-4 UUID, lower-case, 8-4-4-4-12.
std::string generate_uuid();
// The same 32 hex digits without dashes.
std::string generate_uuid32();

}  // namespace vexa
