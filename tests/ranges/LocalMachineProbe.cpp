// Prints the local machine facts that this process found at its start.
#include "app/LocalMachineInfo.h"

#include <cstdio>

int main()
{
    std::printf("IP=%s\nUser=%s\nName=%s\n", LocalIP.c_str(), LocalUserName.c_str(), LocalComputerName.c_str());
    return 0;
}
