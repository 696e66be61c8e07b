// tillportcomm: list, status and print for the person fixing a till that does not print.
#include <iostream>
#include <string>
#include <vector>

#include "TillTool.h"

int main(int argc, char** argv) {
    std::vector<std::string> args(argv + 1, argv + argc);
    return tilltool::RunTillTool(args, std::cin, std::cout, std::cerr);
}
