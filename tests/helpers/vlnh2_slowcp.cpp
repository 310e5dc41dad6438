// Test helper standing in for a slow join: for "IN... cat output OUT
// [dont_ask]" it waits a little (bounded), then writes the inputs joined to
// OUT and prints "joined".
#include <cstring>
#include <fstream>
#include <iostream>
#include <poll.h>
#include <string>
#include <vector>

int main(int argc, char** argv)
{
    std::vector<std::string> inputs;
    std::string output;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "cat") == 0 && i + 2 < argc && std::strcmp(argv[i + 1], "output") == 0) {
            output = argv[i + 2];
            break;
        }
        inputs.push_back(argv[i]);
    }
    if (output.empty())
        return 2;
    // Long enough that a caller polling every 50 ms sees it still running.
    ::poll(nullptr, 0, 400);
    std::ofstream out(output, std::ios::binary);
    for (const std::string& in : inputs)
        out << std::ifstream(in, std::ios::binary).rdbuf();
    std::cout << "joined" << std::endl;
    return out ? 0 : 1;
}
