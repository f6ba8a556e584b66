#include "converter/convert_error.h"

namespace vidmill {

ConvertError::ConvertError(int exitCode, const std::string& message)
    : std::runtime_error(message), exitCode_(exitCode) {}

}  // namespace vidmill
