#include "testbed.hpp"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <thread>

namespace s7mqtt::bed {

TempDir::TempDir() {
  char t[] = "/tmp/s7mqtt.XXXXXX";
  if (!mkdtemp(t)) throw std::runtime_error("mkdtemp failed");
  path = t;
}

TempDir::~TempDir() {
  std::error_code ec;
  std::filesystem::remove_all(path, ec);
}

std::string TempDir::file(const std::string &name, const std::string &text) const {
  const std::string p = path + "/" + name;
  std::ofstream(p) << text;
  return p;
}

Child::Child(std::vector<std::string> argv, const std::string &log) {
  std::vector<char *> args;  // made before the fork: the child only calls exec
  for (auto &a : argv) args.push_back(a.data());
  args.push_back(nullptr);
  pid = fork();
  if (pid != 0) return;
  const int fd = open(log.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0600);
  if (fd < 0) _exit(126);
  dup2(fd, 1), dup2(fd, 2);
  sigset_t none;
  sigemptyset(&none);
  sigprocmask(SIG_SETMASK, &none, nullptr);
  execvp(args[0], args.data());
  _exit(127);
}

int Child::stop(int sig) {
  if (pid <= 0) return -1;
  kill(pid, sig);
  int st = 0;
  for (int i = 0; i < 1000; ++i) {  // 10 s, then it is killed
    if (wait4(pid, &st, WNOHANG, &usage) == pid) {
      pid = -1;
      return WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  kill(pid, SIGKILL);
  wait4(pid, &st, 0, &usage);
  pid = -1;
  return -1;
}

namespace {

sockaddr_in Local(int port) {
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(static_cast<uint16_t>(port));
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  return a;
}

int FreePort() {
  const int s = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a = Local(0);
  socklen_t len = sizeof a;
  if (s < 0 || bind(s, reinterpret_cast<sockaddr *>(&a), sizeof a) != 0 ||
      getsockname(s, reinterpret_cast<sockaddr *>(&a), &len) != 0)
    throw std::runtime_error("no free port");
  close(s);
  return ntohs(a.sin_port);
}

bool Listening(int port) {
  const int s = socket(AF_INET, SOCK_STREAM, 0);
  const sockaddr_in a = Local(port);
  const bool ok = connect(s, reinterpret_cast<const sockaddr *>(&a), sizeof a) == 0;
  close(s);
  return ok;
}

}  // namespace

Broker::Broker(const TempDir &dir) : dir_(dir), port_(FreePort()) { start(); }

void Broker::start() {
  const std::string conf = dir_.file("mosquitto.conf", "listener " + std::to_string(port_) +
                                                           " 127.0.0.1\nallow_anonymous true\n"
                                                           "persistence false\n");
  proc_ = std::make_unique<Child>(std::vector<std::string>{S7MQTT_BROKER, "-c", conf}, dir_.path + "/broker.log");
  for (int i = 0; i < 500 && !Listening(port_); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(10));
  if (!Listening(port_)) throw std::runtime_error("mosquitto does not listen (see " + dir_.path + "/broker.log)");
}

Subscriber::Subscriber(int port, const std::string &id) {
  mosquitto_lib_init();
  m_ = mosquitto_new(id.c_str(), true, this);
  mosquitto_connect_callback_set(m_, [](mosquitto *m, void *self, int rc) {
    auto *s = static_cast<Subscriber *>(self);
    if (rc == 0) mosquitto_subscribe(m, nullptr, "#", 1);
    std::lock_guard l(s->mu_);
    s->connected_ = rc == 0;
    s->cv_.notify_all();
  });
  mosquitto_disconnect_callback_set(m_, [](mosquitto *, void *self, int) {
    auto *s = static_cast<Subscriber *>(self);
    std::lock_guard l(s->mu_);
    s->connected_ = false;
  });
  mosquitto_message_callback_set(m_, [](mosquitto *, void *self, const mosquitto_message *msg) {
    auto *s = static_cast<Subscriber *>(self);
    std::lock_guard l(s->mu_);
    s->msgs_.push_back({msg->topic,
                        std::string(static_cast<const char *>(msg->payload), static_cast<size_t>(msg->payloadlen)),
                        msg->retain, Clock::now()});
    s->cv_.notify_all();
  });
  mosquitto_reconnect_delay_set(m_, 1, 1, false);
  mosquitto_connect_async(m_, "127.0.0.1", port, 30);
  mosquitto_loop_start(m_);
  std::unique_lock l(mu_);
  cv_.wait_for(l, std::chrono::seconds(5), [&] { return connected_; });
}

Subscriber::~Subscriber() {
  // Not cancelled: a thread cancelled inside the library would leave its locks held.
  mosquitto_disconnect(m_);
  mosquitto_loop_stop(m_, false);
  mosquitto_destroy(m_);
  mosquitto_lib_cleanup();
}

void Subscriber::publish(const std::string &topic, const std::string &payload, bool retain) {
  mosquitto_publish(m_, nullptr, topic.c_str(), static_cast<int>(payload.size()), payload.data(), 1, retain);
}

std::optional<std::string> Subscriber::wait(const std::string &topic, const std::function<bool(const Msg &)> &ok,
                                            double secs, size_t from) {
  std::unique_lock l(mu_);
  std::optional<std::string> got;
  cv_.wait_for(l, std::chrono::duration<double>(secs), [&] {
    for (size_t i = from; i < msgs_.size() && !got; ++i)
      if (msgs_[i].topic == topic && ok(msgs_[i])) got = msgs_[i].payload;
    return got.has_value();
  });
  return got;
}

size_t Subscriber::seen() const {
  std::lock_guard l(mu_);
  return msgs_.size();
}

std::vector<Msg> Subscriber::messages() const {
  std::lock_guard l(mu_);
  return msgs_;
}

bool Subscriber::connected() const {
  std::lock_guard l(mu_);
  return connected_;
}

SimLine::SimLine(bool is_ppi, int baud) {
  const s7sim::Pace pace{baud, std::chrono::microseconds(0)};
  plc.add_db(1, 1024);
  if (is_ppi) {
    ppi = std::make_unique<s7sim::PpiStation>(pty.master(), 2, plc);
    if (baud) ppi->set_pace(pace);
    ppi->start();
  } else {
    mpi = std::make_unique<s7sim::MpiAdapter>(pty.master());
    mpi->add_station(2, plc);
    if (baud) mpi->set_pace(pace);
    mpi->start();
  }
}

void SimLine::silent(bool on) {
  if (mpi && on) mpi->inject(s7sim::Fault::IgnoreStx, 1, 0);
  if (mpi && !on) mpi->clear_faults();
  if (ppi) ppi->inject({on ? s7sim::PpiFault::Silence : s7sim::PpiFault::None, s7sim::PpiFaultOn::Request, 0, -1});
}

uint64_t SimLine::chars() const {
  if (mpi) return mpi->chars_from_pc() + mpi->chars_to_pc();
  const s7sim::PpiCounts c = ppi->counts();
  return static_cast<uint64_t>(c.rx_chars + c.tx_chars);
}

std::unique_ptr<Child> StartBridge(const std::string &program, const std::string &config_path,
                                   const std::string &log, bool trace) {
  std::vector<std::string> argv{program, config_path};
  if (trace) argv.insert(argv.begin() + 1, "--trace");
  return std::make_unique<Child>(argv, log);
}

std::string ReadLog(const std::string &path) {
  std::ifstream f(path);
  std::ostringstream s;
  s << f.rdbuf();
  return s.str();
}

}  // namespace s7mqtt::bed
