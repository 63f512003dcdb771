// The result records, made as a class body passed through `dataclasses.dataclass`.
#include "python/class_builder.hpp"
#include "task/task.hpp"

#include <cstdint>
#include <initializer_list>

namespace kor::task {

namespace {

enum class Default : std::uint8_t { required, zero, zero_float, none, new_list, success };

struct Field {
    const char* name;
    const char* annotation;
    Default fallback;
};

struct Record {
    const char* name;
    const char* doc;
    std::initializer_list<Field> fields;
};

nb::object default_value(nb::handle module, Default fallback) {
    switch (fallback) {
        case Default::zero: return nb::int_(0);
        case Default::zero_float: return nb::float_(0.0);
        case Default::none: return nb::none();
        case Default::success: return nb::str("success");
        case Default::new_list:
            return module.attr("field")(nb::arg("default_factory") =
                                            nb::borrow(reinterpret_cast<PyObject*>(&PyList_Type)));
        case Default::required: break;
    }
    return {};
}

nb::object make_record(nb::handle module, const Record& record) {
    const py::ClassDraft draft = py::prepare_class(record.name, nb::tuple());
    const nb::object& body = draft.namespace_;
    body["__module__"] = module.attr("__name__");
    body["__qualname__"] = nb::str(record.name);
    body["__doc__"] = nb::str(record.doc);
    nb::dict annotations;
    for (const Field& field : record.fields)
        annotations[field.name] = nb::str(field.annotation);
    body["__annotations__"] = annotations;
    for (const Field& field : record.fields)
        if (field.fallback != Default::required)
            body[field.name] = default_value(module, field.fallback);
    return module.attr("dataclass")(py::finish_class(record.name, draft));
}

const Record column_profile{
    "ColumnProfile",
    "Profile result for a single column (Vantry-style metrics).",
    {
        {"column_name", "str", Default::required},
        {"data_type", "str", Default::required},
        {"row_count", "int", Default::zero},
        {"null_count", "Optional[int]", Default::zero},
        {"null_percent", "Optional[float]", Default::zero_float},
        {"distinct_count", "Optional[int]", Default::zero},
        {"distinct_percent", "Optional[float]", Default::zero_float},
        {"min_value", "Optional[float]", Default::none},
        {"max_value", "Optional[float]", Default::none},
        {"mean_value", "Optional[float]", Default::none},
        {"median_value", "Optional[float]", Default::none},
        {"stddev_value", "Optional[float]", Default::none},
        {"p25", "Optional[float]", Default::none},
        {"p50", "Optional[float]", Default::none},
        {"p75", "Optional[float]", Default::none},
        {"min_length", "Optional[int]", Default::none},
        {"max_length", "Optional[int]", Default::none},
        {"avg_length", "Optional[float]", Default::none},
        {"histogram", "Optional[List[Dict]]", Default::none},
        {"top_values", "Optional[List[Dict]]", Default::none},
        {"alerts", "List[Dict]", Default::new_list},
        {"duration_ms", "int", Default::zero},
        {"column_kind", "Optional[str]", Default::none},
        {"min_exact", "Optional[str]", Default::none},
        {"max_exact", "Optional[str]", Default::none},
        {"true_count", "Optional[int]", Default::none},
        {"false_count", "Optional[int]", Default::none},
        {"future_count", "Optional[int]", Default::none},
        {"freshness_seconds", "Optional[float]", Default::none},
    },
};

const Record table_profile{
    "TableProfile",
    "Profile result for a table.",
    {
        {"source_name", "str", Default::required},
        {"table_name", "str", Default::required},
        {"connection_name", "str", Default::required},
        {"row_count", "int", Default::required},
        {"column_count", "int", Default::required},
        {"columns", "List[ColumnProfile]", Default::required},
        {"profile_mode", "str", Default::required},
        {"profiled_at", "datetime", Default::required},
        {"duration_ms", "int", Default::required},
        {"alerts", "List[Dict]", Default::new_list},
        {"status", "str", Default::success},
        {"error", "Optional[str]", Default::none},
    },
};

const Record execution_result{
    "ProfileExecutionResult",
    "Result of profile execution.",
    {
        {"tables_profiled", "int", Default::zero},
        {"total_rows", "int", Default::zero},
        {"total_columns", "int", Default::zero},
        {"total_alerts", "int", Default::zero},
        {"duration_ms", "int", Default::zero},
        {"profiles", "List[TableProfile]", Default::new_list},
        {"errors", "List[str]", Default::new_list},
    },
};

}  // namespace

void define_records(nb::handle module) {
    for (const Record* record : {&column_profile, &table_profile, &execution_result})
        module.attr(record->name) = make_record(module, *record);
}

}  // namespace kor::task
