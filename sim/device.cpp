#include "device.hpp"

#include <utility>

namespace s7sim {

Device::Device(bool ppi, std::vector<SimStation> stations, Pace pace,
               std::function<void(const std::string &)> trace)
    : ppi_(ppi), stations_(std::move(stations)), pace_(pace), trace_(std::move(trace)) {}

void Device::start(int fd) {
  stop();
  if (ppi_) {
    station_ = std::make_unique<PpiStation>(fd, stations_.at(0).addr, *stations_.at(0).plc);
    if (trace_) station_->set_trace(trace_);
    station_->set_pace(pace_);
    station_->start();
    return;
  }
  adapter_ = std::make_unique<MpiAdapter>(fd);
  for (const SimStation &s : stations_) adapter_->add_station(s.addr, *s.plc);
  if (trace_) adapter_->set_trace(trace_);
  adapter_->set_pace(pace_);
  adapter_->start();
}

void Device::stop() {
  if (station_) station_->stop();
  if (adapter_) adapter_->stop();
  if (station_ || adapter_) {
    const auto v = station_ ? station_->violations() : adapter_->violations();
    past_.insert(past_.end(), v.begin(), v.end());
  }
  adapter_.reset();
  station_.reset();
}

std::vector<std::string> Device::violations() const {
  std::vector<std::string> all = past_;
  if (station_ || adapter_) {
    const auto v = station_ ? station_->violations() : adapter_->violations();
    all.insert(all.end(), v.begin(), v.end());
  }
  return all;
}

Pluggable::Pluggable(std::string link, bool ppi, std::vector<SimStation> stations, Pace pace,
                     std::function<void(const std::string &)> trace)
    : pty_(std::move(link)), device_(ppi, std::move(stations), pace, std::move(trace)) {
  device_.start(pty_.master());
}

void Pluggable::unplug() {
  device_.stop();
  pty_.unplug();
}

void Pluggable::plug() {
  if (pty_.plugged()) return;
  pty_.plug();
  device_.start(pty_.master());
}

}  // namespace s7sim
