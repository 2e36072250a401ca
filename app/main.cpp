#include "app/commands.h"

int main(int argc, char** argv) { return RunVeldmap(argc, argv); }
