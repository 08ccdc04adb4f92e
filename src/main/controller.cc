#include "main/controller.h"

namespace aurvane {

int RunController(int, char**) { return 3; }

}  // namespace aurvane
