// varno-pcaploop CAPTURE
//
// Reads a capture file with pcap_next_ex and does nothing with the frames:
// the speed limit of any counter built on libpcap's file reading. Prints the
// frames read; the speed goes to standard error in the form varno-replay
// uses, so that both can be read the same way.
//
// Exit status: 0 done, 1 the file cannot be read, 2 usage.

#include <pcap/pcap.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <memory>

int main(int argc, char** argv)
{
    if (argc != 2 || std::strcmp(argv[1], "--help") == 0 || std::strcmp(argv[1], "-h") == 0) {
        std::fputs("usage: varno-pcaploop CAPTURE\n", argc == 2 ? stdout : stderr);
        return argc == 2 ? 0 : 2;
    }
    char errbuf[PCAP_ERRBUF_SIZE] = "";
    std::unique_ptr<pcap_t, decltype(&pcap_close)> capture(pcap_open_offline(argv[1], errbuf), &pcap_close);
    if (!capture) {
        std::fprintf(stderr, "varno-pcaploop: %s: %s\n", argv[1], errbuf);
        return 1;
    }

    unsigned long long frames = 0;
    pcap_pkthdr* header = nullptr;
    const u_char* data = nullptr;
    int status;
    const auto started = std::chrono::steady_clock::now();
    while ((status = pcap_next_ex(capture.get(), &header, &data)) == 1)
        ++frames;
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    if (status == PCAP_ERROR) {
        std::fprintf(stderr, "varno-pcaploop: %s: after %llu frames: %s\n", argv[1], frames,
                     pcap_geterr(capture.get()));
        return 1;
    }
    std::printf("Frames read: %llu\n", frames);
    std::fprintf(stderr, "varno-pcaploop: %llu frames in %.3f s (%.0f frames/s)\n", frames, seconds,
                 seconds > 0 ? double(frames) / seconds : 0.0);
    return 0;
}
