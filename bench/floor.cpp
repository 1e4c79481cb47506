// The floor for telk's exchanges: bare request/reply round trips, one sendto and one recvfrom
// each, no standard I/O; with "write", also one write of each reply's text to standard output,
// the least that any program printing the replies must do. Started as a process, like telk,
// so that both figures hold a start.
//   bench-floor port password command count [write]
#include <array>
#include <cstdlib>
#include <cstring>
#include <string_view>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

int main(int argc, char *argv[])
{
    if (argc != 5 && argc != 6) return 2;
    const bool write_text = argc == 6 && std::strcmp(argv[5], "write") == 0;
    const int sock = socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(static_cast<in_port_t>(std::atoi(argv[1])));
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    std::array<char, 65536> request;
    std::size_t length = 0;
    for (const std::string_view part :
         {std::string_view{"\xff\xff\xff\xffrcon "}, std::string_view{argv[2]},
          std::string_view{" "}, std::string_view{argv[3]}}) {
        if (part.size() > request.size() - length) return 2;
        std::memcpy(&request[length], part.data(), part.size());
        length += part.size();
    }
    static std::array<char, 32768> reply;
    for (int i = std::atoi(argv[4]); i > 0; --i) {
        sendto(sock, request.data(), length, 0, reinterpret_cast<const sockaddr *>(&to), sizeof to);
        const ssize_t got = recvfrom(sock, reply.data(), reply.size(), 0, nullptr, nullptr);
        if (got <= 4) return 1;
        const auto text = static_cast<std::size_t>(got) - 4;
        if (write_text &&
            write(STDOUT_FILENO, reply.data() + 4, text) != static_cast<ssize_t>(text))
            return 1;
    }
    return 0;
}
