#pragma once

#include <string>

namespace orvalt::common {

// The shortest decimal text that reads back as the same double, spelled as Python prints a
// float: always with a point or an exponent ("30.0", "0.15113095", "1e-05", "-0.0", "inf",
// "nan"). Readers that compare our text outputs with Python's expect exactly this form.
std::string float_text(double value);

}  // namespace orvalt::common
