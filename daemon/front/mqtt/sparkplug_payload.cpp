// SPDX-License-Identifier: MIT
#include "front/mqtt/sparkplug_payload.h"

#include "sparkplug_b.pb-c.h"

#include "common/module_json.h"

#include <chrono>
#include <memory>

namespace kdxd::sparkplug {

namespace {
using PbPayload = Org__Eclipse__Tahu__Protobuf__Payload;
using PbMetric = Org__Eclipse__Tahu__Protobuf__Payload__Metric;
using PbPropertySet = Org__Eclipse__Tahu__Protobuf__Payload__PropertySet;
using PbPropertyValue = Org__Eclipse__Tahu__Protobuf__Payload__PropertyValue;

// The definition's quality codes, as the property "Quality" (Int32).
constexpr uint32_t kInt32 = 3, kStale = 500;
char kQualityKey[] = "Quality";
} // namespace

uint64_t now_ms() {
    return static_cast<uint64_t>(
        std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::system_clock::now().time_since_epoch())
            .count());
}

std::string encode(uint64_t timestamp_ms, std::optional<uint64_t> seq, const std::vector<Metric> &metrics) {
    std::vector<PbMetric> storage(metrics.size());
    std::vector<std::string> texts(metrics.size()); // protobuf strings are UTF-8
    std::vector<PbMetric *> pointers;
    // One stale mark serves every stale metric.
    PbPropertyValue stale;
    org__eclipse__tahu__protobuf__payload__property_value__init(&stale);
    stale.has_type = 1;
    stale.type = kInt32;
    stale.value_case = ORG__ECLIPSE__TAHU__PROTOBUF__PAYLOAD__PROPERTY_VALUE__VALUE_INT_VALUE;
    stale.int_value = kStale;
    char *stale_keys[] = {kQualityKey};
    PbPropertyValue *stale_values[] = {&stale};
    PbPropertySet stale_set;
    org__eclipse__tahu__protobuf__payload__property_set__init(&stale_set);
    stale_set.n_keys = 1;
    stale_set.keys = stale_keys;
    stale_set.n_values = 1;
    stale_set.values = stale_values;
    for (std::size_t i = 0; i < metrics.size(); ++i) {
        PbMetric &m = storage[i];
        org__eclipse__tahu__protobuf__payload__metric__init(&m);
        m.name = const_cast<char *>(metrics[i].name.c_str());
        m.has_timestamp = 1;
        m.timestamp = metrics[i].read_at_ms.value_or(timestamp_ms);
        m.has_datatype = 1;
        m.datatype = static_cast<uint32_t>(metrics[i].type);
        if (metrics[i].quality == Metric::Quality::unknown) {
            m.has_is_null = 1;
            m.is_null = 1;
            pointers.push_back(&m);
            continue;
        }
        if (metrics[i].quality == Metric::Quality::stale) m.properties = &stale_set;
        switch (metrics[i].type) {
        case Type::int64:
            m.value_case = ORG__ECLIPSE__TAHU__PROTOBUF__PAYLOAD__METRIC__VALUE_LONG_VALUE;
            m.long_value = metrics[i].number;
            break;
        case Type::uint32:
            m.value_case = ORG__ECLIPSE__TAHU__PROTOBUF__PAYLOAD__METRIC__VALUE_INT_VALUE;
            m.int_value = static_cast<uint32_t>(metrics[i].number);
            break;
        case Type::boolean:
            m.value_case = ORG__ECLIPSE__TAHU__PROTOBUF__PAYLOAD__METRIC__VALUE_BOOLEAN_VALUE;
            m.boolean_value = metrics[i].number != 0;
            break;
        case Type::string:
            m.value_case = ORG__ECLIPSE__TAHU__PROTOBUF__PAYLOAD__METRIC__VALUE_STRING_VALUE;
            texts[i] = kdxjson::shown(metrics[i].text);
            m.string_value = texts[i].data();
            break;
        }
        pointers.push_back(&m);
    }
    PbPayload payload;
    org__eclipse__tahu__protobuf__payload__init(&payload);
    payload.has_timestamp = 1;
    payload.timestamp = timestamp_ms;
    payload.n_metrics = pointers.size();
    payload.metrics = pointers.data();
    payload.has_seq = seq.has_value();
    payload.seq = seq.value_or(0);
    std::string out(org__eclipse__tahu__protobuf__payload__get_packed_size(&payload), '\0');
    org__eclipse__tahu__protobuf__payload__pack(&payload, reinterpret_cast<uint8_t *>(out.data()));
    return out;
}

std::optional<std::vector<Metric>> decode(const std::string &bytes) {
    const std::unique_ptr<PbPayload, void (*)(PbPayload *)> payload(
        org__eclipse__tahu__protobuf__payload__unpack(nullptr, bytes.size(),
                                                      reinterpret_cast<const uint8_t *>(bytes.data())),
        [](PbPayload *p) {
            if (p != nullptr) org__eclipse__tahu__protobuf__payload__free_unpacked(p, nullptr);
        });
    if (!payload) return std::nullopt;
    std::vector<Metric> out;
    for (std::size_t i = 0; i < payload->n_metrics; ++i) {
        const PbMetric &m = *payload->metrics[i];
        Metric metric;
        metric.name = m.name != nullptr ? m.name : "";
        switch (m.value_case) {
        case ORG__ECLIPSE__TAHU__PROTOBUF__PAYLOAD__METRIC__VALUE_BOOLEAN_VALUE:
            metric.type = Type::boolean;
            metric.number = m.boolean_value ? 1 : 0;
            break;
        case ORG__ECLIPSE__TAHU__PROTOBUF__PAYLOAD__METRIC__VALUE_INT_VALUE:
            metric.type = Type::uint32;
            metric.number = m.int_value;
            break;
        case ORG__ECLIPSE__TAHU__PROTOBUF__PAYLOAD__METRIC__VALUE_LONG_VALUE:
            metric.type = Type::int64;
            metric.number = m.long_value;
            break;
        case ORG__ECLIPSE__TAHU__PROTOBUF__PAYLOAD__METRIC__VALUE_STRING_VALUE:
            metric.type = Type::string;
            metric.text = m.string_value != nullptr ? m.string_value : "";
            break;
        default:
            continue; // a type no command of this node takes
        }
        metric.declared_as_held = !m.has_datatype || m.datatype == static_cast<uint32_t>(metric.type);
        out.push_back(std::move(metric));
    }
    return out;
}

} // namespace kdxd::sparkplug
