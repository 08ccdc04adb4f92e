// aurvane-controller: supervises one parallel run of a pytest suite.
#include "main/controller.h"
#include "util/platform.h"

int main(int argc, char** argv) { return aurvane::RunController(aurvane::CommandLineArguments(argc, argv)); }
