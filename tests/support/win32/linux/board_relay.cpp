// board_relay: the Linux side of the Windows test programs' scripted board.
// Listens on 127.0.0.1 (the port goes to standard output); each connection
// names a port ("COM<n>\n"), gets a pseudo-terminal in raw mode whose slave
// <ports>/com<n> points at (answered "ok\n"), and then carries bytes both
// ways between itself and the master side. The relay keeps the slave open
// too, so the line does not hang up between two opens of the library. When
// the test closes its end, the master and slave are closed, the link is
// removed, and the relay closes its end: the device has vanished.
//
// Usage: board_relay PORTS_DIRECTORY
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <pty.h>
#include <sys/socket.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>

namespace {

std::mutex g_links;  // creating and removing links, so two boards of one port never mix
std::string g_dir;

bool WriteAll(int fd, const char* data, size_t size) {
  while (size > 0) {
    const ssize_t n = write(fd, data, size);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      if (n < 0 && errno == EAGAIN) {
        pollfd entry{fd, POLLOUT, 0};
        poll(&entry, 1, 100);
        continue;
      }
      return false;
    }
    data += n;
    size -= static_cast<size_t>(n);
  }
  return true;
}

void Serve(int client) {
  std::string request;
  char c;
  while (request.size() < 16 && read(client, &c, 1) == 1 && c != '\n') request.push_back(c);
  int number = 0;
  int master = -1;
  int slave = -1;
  char name[PATH_MAX] = {};
  std::string link;
  if (std::sscanf(request.c_str(), "COM%d", &number) == 1 && number >= 1 && number <= 255 &&
      openpty(&master, &slave, name, nullptr, nullptr) == 0) {
    termios tio{};
    tcgetattr(slave, &tio);
    cfmakeraw(&tio);
    tcsetattr(slave, TCSANOW, &tio);
    link = g_dir + "/com" + std::to_string(number);
    std::lock_guard<std::mutex> guard(g_links);
    unlink(link.c_str());
    if (symlink(name, link.c_str()) != 0) link.clear();
  }
  if (link.empty()) {
    if (master >= 0) close(master);
    if (slave >= 0) close(slave);
    close(client);
    return;
  }
  WriteAll(client, "ok\n", 3);
  pollfd fds[2] = {{client, POLLIN, 0}, {master, POLLIN, 0}};
  char buffer[4096];
  for (;;) {
    if (poll(fds, 2, -1) < 0) {
      if (errno == EINTR) continue;
      break;
    }
    if (fds[0].revents != 0) {
      const ssize_t n = read(client, buffer, sizeof buffer);
      if (n <= 0) break;  // the test has ended the board
      if (!WriteAll(master, buffer, static_cast<size_t>(n))) break;
    }
    if (fds[1].revents != 0) {
      const ssize_t n = read(master, buffer, sizeof buffer);
      if (n > 0) {
        if (!WriteAll(client, buffer, static_cast<size_t>(n))) break;
      } else if (n < 0 && errno != EAGAIN && errno != EINTR && errno != EIO) {
        break;
      } else if (n <= 0) {
        usleep(2000);  // no slave opener but ours: nothing to read yet
      }
    }
  }
  {
    std::lock_guard<std::mutex> guard(g_links);
    char target[PATH_MAX] = {};
    const ssize_t length = readlink(link.c_str(), target, sizeof target - 1);
    if (length > 0 && std::strcmp(target, name) == 0) unlink(link.c_str());
    close(slave);
    close(master);
  }
  close(client);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: board_relay PORTS_DIRECTORY\n");
    return 2;
  }
  g_dir = argv[1];
  const int listener = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t size = sizeof address;
  if (listener < 0 || bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
      listen(listener, 16) != 0 ||
      getsockname(listener, reinterpret_cast<sockaddr*>(&address), &size) != 0) {
    std::perror("board_relay");
    return 1;
  }
  std::printf("%u\n", ntohs(address.sin_port));
  std::fflush(stdout);
  for (;;) {
    const int client = accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
    if (client < 0) {
      if (errno == EINTR) continue;
      return 1;
    }
    const int one = 1;
    setsockopt(client, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    std::thread(Serve, client).detach();
  }
}
