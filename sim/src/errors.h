// Names and texts of the runtime's error codes.
#pragma once

namespace kivo::sim {

const char* error_name(int code);
const char* error_text(int code);

}  // namespace kivo::sim
