#include "server/server_metrics.h"

#include <charconv>

namespace korvan::server {

namespace {

constexpr const char* kServiceNames[kMeteredServices] = {"http", "tcpip", "socks4", "smtp", "account_query"};
constexpr const char* kRefusalNames[kLoginRefusals] = {"password", "expired", "no_credit", "too_many_connections",
                                                       "word_list"};
constexpr const char* kErrorNames[kServerErrors] = {"store", "accept", "refused_over_capacity",
                                                    "refused_pending_limit"};

// The shortest text that reads back as the same double.
std::string Number(double value) {
  char text[32];
  const auto result = std::to_chars(text, text + sizeof text, value);
  return std::string(text, result.ptr);
}

class Writer {
 public:
  void Family(const char* name, const char* type, const char* help) {
    out_ += "# HELP ";
    out_ += name;
    out_ += ' ';
    out_ += help;
    out_ += "\n# TYPE ";
    out_ += name;
    out_ += ' ';
    out_ += type;
    out_ += '\n';
    name_ = name;
  }
  // `labels` is empty or the inside of the braces, already well-formed.
  void Sample(const std::string& labels, const std::string& value) {
    out_ += name_;
    if (!labels.empty()) out_ += "{" + labels + "}";
    out_ += ' ';
    out_ += value;
    out_ += '\n';
  }
  template <class Integer>
  void Sample(const std::string& labels, Integer value) {
    Sample(labels, std::to_string(value));
  }
  std::string Take() { return std::move(out_); }

 private:
  std::string out_;
  std::string name_;
};

std::string Label(const char* name, const char* value) { return std::string(name) + "=\"" + value + "\""; }

}  // namespace

std::optional<MeteredService> MeteredServiceOf(std::uint8_t protocol) {
  if (protocol >= kMeteredServices) return std::nullopt;
  return static_cast<MeteredService>(protocol);  // the same order as the opening's numbers
}

std::string RenderMetrics(const MetricsSnapshot& s) {
  Writer w;
  w.Family("korvan_connections_open", "gauge", "Tunnel connections open now.");
  w.Sample("", s.connections_open);
  w.Family("korvan_connections_accepted_total", "counter",
           "Tunnel connections accepted, including those closed at once over a limit.");
  w.Sample("", s.connections_accepted);
  w.Family("korvan_sessions_admitted_total", "counter", "Tunnel connections whose account was admitted.");
  w.Sample("", s.sessions_admitted);

  w.Family("korvan_tunnel_bytes_total", "counter",
           "Bytes as they crossed the tunnel; direction in is from the client, out is to the client.");
  for (std::size_t i = 0; i < kMeteredServices; ++i) {
    const std::string service = Label("service", kServiceNames[i]);
    w.Sample(service + "," + Label("direction", "in"), s.traffic[i].sent_wire);
    w.Sample(service + "," + Label("direction", "out"), s.traffic[i].received_wire);
  }
  w.Family("korvan_payload_bytes_total", "counter",
           "Bytes the tunnel carried before packing and after unpacking; directions as for the tunnel bytes.");
  for (std::size_t i = 0; i < kMeteredServices; ++i) {
    const std::string service = Label("service", kServiceNames[i]);
    w.Sample(service + "," + Label("direction", "in"), s.traffic[i].sent_raw);
    w.Sample(service + "," + Label("direction", "out"), s.traffic[i].received_raw);
  }
  w.Family("korvan_compression_ratio", "gauge",
           "Payload bytes sent to clients per tunnel byte, of services that sent anything yet.");
  for (std::size_t i = 0; i < kMeteredServices; ++i) {
    const Traffic& t = s.traffic[i];
    if (t.received_wire <= 0) continue;
    w.Sample(Label("service", kServiceNames[i]),
             Number(static_cast<double>(t.received_raw) / static_cast<double>(t.received_wire)));
  }
  w.Family("korvan_credit_charged_kib_total", "counter", "Credit taken off accounts, in KiB of tunnel bytes.");
  w.Sample("", Number(static_cast<double>(s.charged_bytes) / 1024.0));

  w.Family("korvan_logins_refused_total", "counter", "Openings refused, by reason.");
  for (std::size_t i = 0; i < kLoginRefusals; ++i) w.Sample(Label("reason", kRefusalNames[i]), s.logins_refused[i]);
  w.Family("korvan_errors_total", "counter", "Failures and connections refused at accept, by kind.");
  for (std::size_t i = 0; i < kServerErrors; ++i) w.Sample(Label("kind", kErrorNames[i]), s.errors[i]);
  w.Family("korvan_draining", "gauge", "1 once the server drains: it accepts no tunnel connections.");
  w.Sample("", s.draining ? 1 : 0);
  w.Family("korvan_charges_waiting", "gauge",
           "Settled traffic records not yet written to the account store (they wait while it is away).");
  w.Sample("", s.charges_waiting);
  return w.Take();
}

void ServerMetrics::AddTraffic(MeteredService service, const Traffic& delta) {
  AtomicTraffic& t = traffic_[static_cast<std::size_t>(service)];
  t.sent_raw.fetch_add(delta.sent_raw, std::memory_order_relaxed);
  t.sent_wire.fetch_add(delta.sent_wire, std::memory_order_relaxed);
  t.received_raw.fetch_add(delta.received_raw, std::memory_order_relaxed);
  t.received_wire.fetch_add(delta.received_wire, std::memory_order_relaxed);
}

void ServerMetrics::AddCharged(std::int64_t tunnel_bytes) {
  if (tunnel_bytes > 0) charged_bytes_.fetch_add(static_cast<std::uint64_t>(tunnel_bytes), std::memory_order_relaxed);
}

MetricsSnapshot ServerMetrics::Snapshot() const {
  MetricsSnapshot s;
  s.connections_open = connections_open_.load(std::memory_order_relaxed);
  s.connections_accepted = connections_accepted_.load(std::memory_order_relaxed);
  s.sessions_admitted = sessions_admitted_.load(std::memory_order_relaxed);
  for (std::size_t i = 0; i < kMeteredServices; ++i) {
    s.traffic[i] = {traffic_[i].sent_raw.load(std::memory_order_relaxed),
                    traffic_[i].sent_wire.load(std::memory_order_relaxed),
                    traffic_[i].received_raw.load(std::memory_order_relaxed),
                    traffic_[i].received_wire.load(std::memory_order_relaxed)};
  }
  s.charged_bytes = charged_bytes_.load(std::memory_order_relaxed);
  for (std::size_t i = 0; i < kLoginRefusals; ++i) {
    s.logins_refused[i] = logins_refused_[i].load(std::memory_order_relaxed);
  }
  for (std::size_t i = 0; i < kServerErrors; ++i) s.errors[i] = errors_[i].load(std::memory_order_relaxed);
  s.draining = draining_.load();
  if (charges_waiting_) s.charges_waiting = charges_waiting_();
  return s;
}

void TrafficMeter::Report(const Traffic& total) {
  if (!service_) return;
  const Traffic delta = total - reported_;
  if (delta.empty()) return;
  reported_ = total;
  metrics_.AddTraffic(*service_, delta);
}

}  // namespace korvan::server
