#pragma once
// Values carried in register notifications and emitted values.

#include <boost/any.hpp>

namespace qstd {

using Any = boost::any;
using boost::any_cast;

} // namespace qstd
