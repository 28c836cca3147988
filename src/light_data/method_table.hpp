// The method table of CryptoMktData, in class-namespace order.
#pragma once

#include <span>

#include "method_description.hpp"

namespace light_data {

extern const std::span<const MethodDescription> method_table;

// Index of __init__, the one method with defaults.
constexpr size_t init_method = 0;

}  // namespace light_data
