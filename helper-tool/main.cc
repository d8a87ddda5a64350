// orvexa-helper: the privileged helper program (see orvexa/helper/helper_tool.h).
#include <string>
#include <vector>

#include "orvexa/helper/helper_tool.h"

int main(int argc, char** argv) {
  return orvexa::helperToolMain(std::vector<std::string>(argv, argv + argc));
}
