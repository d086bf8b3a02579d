#include "host/StartUp.h"

int main(int argc, char** argv) { return vserver::host::StartUp(argc, argv); }
