#include "app/shell/quit_signals.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <QSocketNotifier>
#include <atomic>
#include <cerrno>
#include <system_error>

namespace talvo {
namespace {

int pipeEnds[2] = {-1, -1};
std::atomic<int> writeEnd{-1};  // what the handler writes to; -1 once teardown began

void handler(int number) {
  const int saved = errno;
  const unsigned char byte = static_cast<unsigned char>(number);
  // Non-blocking: if the pipe is full, the loop has a wake-up pending anyway. MSG_NOSIGNAL: a
  // reading end already closed in teardown must not turn this into a SIGPIPE that kills us.
  [[maybe_unused]] ssize_t written = send(writeEnd.load(), &byte, 1, MSG_NOSIGNAL | MSG_DONTWAIT);
  errno = saved;
}

}  // namespace

QuitSignals::QuitSignals(QObject* parent) : QObject(parent) {
  if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0, pipeEnds) != 0) {
    throw std::system_error(errno, std::generic_category(), "quit signal pipe");
  }
  writeEnd.store(pipeEnds[1]);
  notifier_ = new QSocketNotifier(pipeEnds[0], QSocketNotifier::Read, this);
  connect(notifier_, &QSocketNotifier::activated, this, &QuitSignals::drain);
  struct sigaction action {};
  action.sa_handler = &handler;
  sigemptyset(&action.sa_mask);
  action.sa_flags = SA_RESTART;
  sigaction(SIGTERM, &action, nullptr);
  sigaction(SIGINT, &action, nullptr);
  sigaction(SIGHUP, &action, nullptr);  // the terminal or the session went away
}

QuitSignals::~QuitSignals() {
  signal(SIGTERM, SIG_DFL);
  signal(SIGINT, SIG_DFL);
  signal(SIGHUP, SIG_DFL);
  writeEnd.store(-1);
  delete notifier_;
  close(pipeEnds[0]);
  close(pipeEnds[1]);
  pipeEnds[0] = pipeEnds[1] = -1;
}

void QuitSignals::drain() {
  unsigned char byte = 0;
  while (read(pipeEnds[0], &byte, 1) == 1) emit received(byte);
}

}  // namespace talvo
