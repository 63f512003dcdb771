// The fixed rule set that turns a column's finished metrics into quality alerts.
#include "alerts/alerts.hpp"

#include "python/error.hpp"
#include "python/object.hpp"
#include "python/text.hpp"

namespace kor::alerts {

namespace {

nb::dict alert(const char* type, const char* severity, nb::handle message) {
    nb::dict made;
    made["type"] = type;
    made["severity"] = severity;
    made["message"] = message;
    return made;
}

bool above(nb::handle value, long threshold) {
    return py::compare(value, Py_GT, nb::int_(threshold));
}

}  // namespace

nb::object generate_alerts(const Call&, nb::handle profile) {
    nb::list alerts;

    // Rules whose metric was not measured (None, on a column whose profiling failed) are skipped.
    // 1. Missing values: one of the two at most.
    const nb::object null_percent = profile.attr("null_percent");
    const bool nulls_measured = !null_percent.is_none();
    if (nulls_measured && above(null_percent, 50)) {
        alerts.append(alert("HIGH_MISSING", "error",
                            (py::Text() << "Column has " << py::format(null_percent, ".1f")
                                        << "% null values (>50%)")
                                .str()));
    } else if (nulls_measured && above(null_percent, 20)) {
        alerts.append(alert(
            "MISSING", "warning",
            (py::Text() << "Column has " << py::format(null_percent, ".1f") << "% null values")
                .str()));
    }

    // 2. High cardinality; the row count is read only when the first test holds.
    const nb::object distinct_percent = profile.attr("distinct_percent");
    if (!distinct_percent.is_none() && above(distinct_percent, 99) &&
        above(profile.attr("row_count"), 100)) {
        alerts.append(alert("HIGH_CARDINALITY", "info",
                            (py::Text() << "Column is " << py::format(distinct_percent, ".1f")
                                        << "% unique (possible primary key)")
                                .str()));
    }

    // 3. Low cardinality.
    const nb::object distinct_count = profile.attr("distinct_count");
    if (py::truthy(distinct_count) &&
        py::compare(distinct_count, Py_LT, nb::int_(10)) &&
        above(profile.attr("row_count"), 1000)) {
        alerts.append(alert("LOW_CARDINALITY", "info",
                            (py::Text() << "Column has only " << py::to_str(distinct_count)
                                        << " distinct values (possible category)")
                                .str()));
    }

    // 4. All null.
    if (nulls_measured && py::compare(null_percent, Py_EQ, nb::int_(100)))
        alerts.append(alert("ALL_NULL", "error", nb::str("Column is 100% null - consider removing")));

    // 5. Constant value; the maximum is read only when a minimum exists. Both are doubles, in
    // which distinct BIGINTs above 2**53 can compare equal: the distinct count must agree.
    const nb::object min_value = profile.attr("min_value");
    if (!min_value.is_none()) {
        const nb::object max_value = profile.attr("max_value");
        if (!max_value.is_none() && py::compare(min_value, Py_EQ, max_value) &&
            !distinct_count.is_none() && py::compare(distinct_count, Py_LT, nb::int_(2)))
            alerts.append(alert(
                "ZERO_VARIANCE", "warning",
                (py::Text() << "Column has constant value: " << py::to_str(min_value)).str()));
    }
    return alerts;
}

}  // namespace kor::alerts

namespace kor::alerts {

nb::dict profile_error(nb::handle message) { return alert("PROFILE_ERROR", "warning", message); }

void note_profile_error(nb::handle profile, nb::handle exception) {
    const nb::str message = (py::Text() << "Could not profile column: "
                                        << py::truncated(py::to_str(exception), 100))
                                .str();
    profile.attr("alerts").attr("append")(profile_error(message));
}

}  // namespace kor::alerts
