// drova: the command-line tool for DROVA devices. See `drova --help`.
#include <iostream>

#include "cli.h"

int main(int argc, char **argv) {
    return drova::run(std::vector<std::string>(argv + 1, argv + argc), std::cout, std::cerr);
}
