// aurvane-controller: supervises one parallel run of a pytest suite.
#include "main/controller.h"

int main(int argc, char** argv) { return aurvane::RunController(argc, argv); }
