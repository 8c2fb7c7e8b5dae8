// brevanto-users: see users_command.h.
#include <iostream>
#include <string>
#include <vector>

#include "users_command.h"

int main(int argc, char** argv) {
    return users_tool::Run(std::vector<std::string>(argv + 1, argv + argc), std::cin, std::cout,
                           std::cerr);
}
