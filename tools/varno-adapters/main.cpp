// Lists the capture adapters as "index<TAB>name<TAB>description", one a line,
// in the order (and with the index) that the settings' "Adaptor Index" uses.

#include "capture/Snoop.h"
#include "platform/Application.h"

#include <cstdio>
#include <string>
#include <unistd.h>

int main()
{
    Application().Title = "varno-adapters";
    // A failed enumeration is reported through the application's message;
    // keep it for the explanation below.
    std::string enumerationError;
    Application().SetMessageHandler(
        [&](const std::string&, const std::string& text) { enumerationError = text; });

    TSnoop snoop;
    const auto& names = snoop.AdapterNames();
    const auto& descriptions = snoop.AdapterDescriptions();
    for (size_t i = 0; i < names.size(); ++i) {
        const std::string description = i < descriptions.size() ? descriptions[i] : std::string();
        std::printf("%zu\t%s\t%s\n", i, names[i].c_str(), description.c_str());
    }
    if (!names.empty())
        return 0;

    if (!enumerationError.empty())
        std::fprintf(stderr, "varno-adapters: cannot list the capture adapters: %s\n", enumerationError.c_str());
    else
        std::fprintf(stderr, "varno-adapters: no capture adapters found.\n");
    if (geteuid() != 0)
        std::fprintf(stderr,
                     "Capturing needs root, or the capabilities cap_net_raw and cap_net_admin:\n"
                     "  sudo setcap cap_net_raw,cap_net_admin=eip <path of the program>\n");
    return 1;
}
