// Prometheus text from the status document. Every family is declared once below with its type and
// help; the sections of the document add samples to them, and the families are written out in the
// order they were first given a sample, each sample under its own family's header as the format
// requires. The status's own names stay the status's: this file is the one place that maps them.
#include "web/metrics/metrics_text.h"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <set>
#include <utility>
#include <vector>

namespace {

using nlohmann::json;

enum class Type { Counter, Gauge };

struct Family {
    const char *name;
    Type type;
    const char *help;
};

constexpr Family kUp{"encoder_up", Type::Gauge,
                     "1 when a fresh status document of the encoder was read; 0, alone, when the encoder is not "
                     "running or its status is stale"};
constexpr Family kAge{"encoder_status_age_seconds", Type::Gauge, "Time since the encoder wrote its status document"};
constexpr Family kInfo{"encoder_build_info", Type::Gauge, "The encoder's version as a label; always 1"};
constexpr Family kUptime{"encoder_uptime_seconds", Type::Gauge, "Time since the encoder started"};
constexpr Family kCpu{"encoder_cpu_seconds_total", Type::Counter,
                      "CPU time of the encoder process, user and system, every thread"};
constexpr Family kSignal{"encoder_input_signal", Type::Gauge, "1 while the video input has a signal, else 0"};

constexpr Family kStreamOn{"encoder_stream_on", Type::Gauge, "1 while the video stream is coded, else 0"};
constexpr Family kCaptured{"encoder_stream_frames_captured_total", Type::Counter, "Frames taken from the capture"};
constexpr Family kCoded{"encoder_stream_frames_coded_total", Type::Counter, "Frames coded into the stream"};
constexpr Family kDropped{"encoder_stream_frames_dropped_total", Type::Counter,
                          "Frames the capture lost before they could be coded"};
constexpr Family kStreamBytes{"encoder_stream_bytes_total", Type::Counter, "Bytes of coded video"};
// In bytes, as every rate of Prometheus is (its own lint refuses bits); a graph in bit/s multiplies by 8.
constexpr Family kRate{"encoder_stream_rate_bytes_per_second", Type::Gauge,
                       "Coded video rate over the status writer's last second"};
constexpr Family kIdrAge{"encoder_stream_idr_age_seconds", Type::Gauge,
                         "Time since the last IDR frame; absent before the first"};

constexpr Family kAudioOn{"encoder_audio_on", Type::Gauge, "1 while audio is coded, else 0"};
constexpr Family kAudioFrames{"encoder_audio_frames_coded_total", Type::Counter, "Audio frames coded"};
constexpr Family kAudioBytes{"encoder_audio_bytes_total", Type::Counter, "Bytes of coded audio"};
constexpr Family kPeak{"encoder_audio_peak_dbfs", Type::Gauge,
                       "Peak level of the channel over the last second, in dB below full scale"};
constexpr Family kRms{"encoder_audio_rms_dbfs", Type::Gauge,
                      "RMS level of the channel over the last second, in dB below full scale"};

constexpr Family kOutState{"encoder_output_state", Type::Gauge,
                           "1 for the state the output is in, 0 for the other states it can be in"};
constexpr Family kOutBytes{"encoder_output_bytes_total", Type::Counter, "Bytes the output has sent or written"};
constexpr Family kOutPackets{"encoder_output_packets_total", Type::Counter,
                             "Packets the output has sent (datagrams, SRT messages)"};
constexpr Family kOutFrames{"encoder_output_frames_total", Type::Counter, "Audio and video frames the output has sent"};
constexpr Family kOutSegments{"encoder_output_segments_total", Type::Counter,
                               "Segments the output has made or delivered"};
constexpr Family kOutDrops{"encoder_output_drops_total", Type::Counter,
                           "What the output dropped, as it counts it: units, datagrams, records or clients"};
constexpr Family kOutDroppedBytes{"encoder_output_dropped_bytes_total", Type::Counter,
                                  "Bytes the output could not write"};
constexpr Family kOutReconnects{"encoder_output_reconnects_total", Type::Counter,
                                "Links made again after one was up"};
constexpr Family kOutClients{"encoder_output_clients", Type::Gauge, "Clients the output serves now"};
constexpr Family kOutClientsDropped{"encoder_output_clients_dropped_total", Type::Counter,
                                    "Clients dropped for falling behind"};
constexpr Family kOutRetransmitted{"encoder_output_retransmitted_packets_total", Type::Counter,
                                   "Packets sent again at a peer's request"};

// Every state the status gives an output; a state outside these is shown as well, so that none is lost.
constexpr const char *kStates[] = {"ok", "waiting", "error", "off"};

// An output's counters by their name in its status object. The recorder counts its drops in bytes.
struct OutputField {
    const char *key;
    const Family *family;
};
constexpr OutputField kOutputFields[] = {
    {"bytes", &kOutBytes},
    {"packets", &kOutPackets},
    {"frames", &kOutFrames},
    {"segments", &kOutSegments},
    {"reconnects", &kOutReconnects},
    {"clients", &kOutClients},
    {"clients_dropped", &kOutClientsDropped},
    {"retransmitted", &kOutRetransmitted},
};

using Labels = std::vector<std::pair<const char *, std::string>>;

std::string labelValue(std::string_view value)
{
    std::string out;
    for (char c : value) {
        if (c == '\\' || c == '"') {
            out += '\\';
            out += c;
        } else if (c == '\n') {
            out += "\\n";
        } else {
            out += c;
        }
    }
    return out;
}

// The sample value of a status figure; false for what is no figure (a string, null, a NaN).
bool valueText(const json &v, std::string &out)
{
    if (v.is_boolean()) {
        out = v.get<bool>() ? "1" : "0";
    } else if (v.is_number_integer()) {
        out = v.dump();
    } else if (v.is_number_float() && std::isfinite(v.get<double>())) {
        out = v.dump();
    } else {
        return false;
    }
    return true;
}

class Exposition {
public:
    void add(const Family &f, const Labels &labels, const json &value)
    {
        std::string text;
        if (!valueText(value, text)) {
            return;
        }
        std::string line = f.name;
        if (!labels.empty()) {
            line += '{';
            for (size_t i = 0; i < labels.size(); i++) {
                line += (i > 0 ? "," : "") + std::string(labels[i].first) + "=\"" + labelValue(labels[i].second) + '"';
            }
            line += '}';
        }
        samples(f) += line + " " + text + "\n";
    }
    // The figure `key` of `obj`, when it has one.
    void field(const Family &f, const Labels &labels, const json &obj, const char *key)
    {
        auto it = obj.find(key);
        if (it != obj.end()) {
            add(f, labels, *it);
        }
    }
    std::string text() const
    {
        std::string out;
        for (const auto &[f, samples] : families_) {
            out += std::string("# HELP ") + f->name + " " + f->help + "\n";
            out += std::string("# TYPE ") + f->name + (f->type == Type::Counter ? " counter\n" : " gauge\n");
            out += samples;
        }
        return out;
    }

private:
    std::string &samples(const Family &f)
    {
        for (auto &[known, samples] : families_) {
            if (known == &f) {
                return samples;
            }
        }
        return families_.emplace_back(&f, std::string()).second;
    }

    std::vector<std::pair<const Family *, std::string>> families_;
};

const json &member(const json &obj, const char *key)
{
    static const json none;
    auto it = obj.find(key);
    return it != obj.end() && it->is_object() ? *it : none;
}

void encoder(const json &doc, double age, Exposition &e)
{
    e.add(kUp, {}, 1);
    e.add(kAge, {}, std::round(std::max(age, 0.0) * 1000) / 1000);
    if (auto v = doc.find("version"); v != doc.end() && v->is_string()) {
        e.add(kInfo, {{"version", v->get<std::string>()}}, 1);
    }
    e.field(kUptime, {}, doc, "uptime_s");
    e.field(kCpu, {}, doc, "cpu_s");
    e.field(kSignal, {}, member(doc, "input"), "signal");
}

void streams(const json &doc, Exposition &e)
{
    const json &streams = member(doc, "streams");
    for (const char *name : {"main", "second"}) {
        const json &s = member(streams, name);
        if (!s.is_object()) {
            continue;
        }
        Labels l{{"stream", name}};
        e.field(kStreamOn, l, s, "on");
        e.field(kCaptured, l, s, "captured");
        e.field(kCoded, l, s, "encoded");
        e.field(kDropped, l, s, "dropped");
        e.field(kStreamBytes, l, s, "bytes");
        if (auto kbps = s.find("kbps"); kbps != s.end() && kbps->is_number()) {
            e.add(kRate, l, kbps->get<double>() * 1000 / 8);
        }
        e.field(kIdrAge, l, s, "idr_age_s");
    }
}

void audio(const json &doc, Exposition &e)
{
    const json &a = member(doc, "audio");
    if (!a.is_object()) {
        return;
    }
    e.field(kAudioOn, {}, a, "on");
    e.field(kAudioFrames, {}, a, "frames");
    e.field(kAudioBytes, {}, a, "bytes");
    auto levels = a.find("levels");
    if (levels == a.end() || !levels->is_array()) {
        return;
    }
    for (size_t c = 0; c < levels->size(); c++) {
        const json &level = (*levels)[c];
        if (level.is_object()) {
            Labels l{{"channel", std::to_string(c + 1)}}; // counted from 1, as the operator names them
            e.field(kPeak, l, level, "peak_dbfs");
            e.field(kRms, l, level, "rms_dbfs");
        }
    }
}

void output(const json &out, const Labels &l, Exposition &e)
{
    if (auto state = out.find("state"); state != out.end() && state->is_string()) {
        std::string now = state->get<std::string>();
        bool known = false;
        for (const char *s : kStates) {
            known = known || now == s;
            Labels with = l;
            with.emplace_back("state", s);
            e.add(kOutState, with, now == s ? 1 : 0);
        }
        if (!known) {
            Labels with = l;
            with.emplace_back("state", now);
            e.add(kOutState, with, 1);
        }
    }
    for (const OutputField &f : kOutputFields) {
        e.field(*f.family, l, out, f.key);
    }
    e.field(l[0].second == "recorder" ? kOutDroppedBytes : kOutDrops, l, out, "dropped");
}

// The labels are the output's kind and name only: its target may be a URL, and a secret must never
// reach a time series database. Two outputs of one kind and name would be one series twice, which a
// scrape refuses; the second is left out.
void outputs(const json &doc, Exposition &e)
{
    auto list = doc.find("outputs");
    if (list == doc.end() || !list->is_array()) {
        return;
    }
    std::set<std::pair<std::string, std::string>> seen;
    for (const json &out : *list) {
        if (!out.is_object() || !out.contains("kind") || !out["kind"].is_string() || !out.contains("name") ||
            !out["name"].is_string()) {
            continue;
        }
        std::string kind = out["kind"].get<std::string>();
        std::string name = out["name"].get<std::string>();
        if (seen.emplace(kind, name).second) {
            output(out, {{"kind", kind}, {"name", name}}, e);
        }
    }
}

} // namespace

std::string Metrics_down(std::string_view why)
{
    std::string line(why);
    for (char &c : line) {
        c = c == '\n' || c == '\r' ? ' ' : c;
    }
    Exposition e;
    e.add(kUp, {}, 0);
    return "# encoder status: " + line + "\n" + e.text();
}

std::string Metrics_format(std::string_view status, double now)
{
    json doc = json::parse(status, nullptr, false);
    if (doc.is_discarded() || !doc.is_object()) {
        return Metrics_down("the status document is not a JSON object");
    }
    auto time = doc.find("time");
    if (time == doc.end() || !time->is_number()) {
        return Metrics_down("the status document says not when it was written");
    }
    // A document from the future is as stale as an old one: the clock was set back since it was written.
    double age = now - time->get<double>();
    if (!(std::fabs(age) <= METRICS_STALE_S)) {
        char line[112];
        if (age > 0) {
            std::snprintf(line, sizeof line, "the status document is %.0f s old: the encoder is not running", age);
        } else {
            std::snprintf(line, sizeof line, "the status document is dated %.0f s ahead of this clock", -age);
        }
        return Metrics_down(line);
    }
    Exposition e;
    encoder(doc, age, e);
    streams(doc, e);
    audio(doc, e);
    outputs(doc, e);
    return e.text();
}
