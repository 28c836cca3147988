// The method table of CryptoMktData, in class-namespace order.
#pragma once

#include "method_function.hpp"

namespace light_data {

extern const MethodDescription method_table[];
extern const int method_count;

// Index of __init__, the one method with defaults.
constexpr int init_method = 0;

}  // namespace light_data
