// The methods of ProfileTask: each signature declared once, next to its implementation's name.
#include "alerts/alerts.hpp"
#include "execution/execution.hpp"
#include "metrics/metrics.hpp"
#include "report/report.hpp"
#include "selection/selection.hpp"
#include "store/store.hpp"
#include "task/task.hpp"

namespace kor::task {

namespace {

using py::Accepts;
using py::bind;
using py::MethodRecord;
using py::Parameter;

constexpr Parameter self{"self"};
constexpr Parameter adapter{"adapter"};
constexpr Parameter node{"node", "Any"};
constexpr Parameter database{"database", "Optional[str]", Accepts::optional_text};
constexpr Parameter schema{"schema", "str", Accepts::text};
constexpr Parameter table{"table", "str", Accepts::text};
constexpr Parameter fqn{"fqn", "str", Accepts::text};
constexpr Parameter quoted_col{"quoted_col", "str", Accepts::text};
constexpr Parameter col_name{"col_name", "str", Accepts::text};
constexpr Parameter col_type{"col_type", "str", Accepts::text};
constexpr Parameter row_count{"row_count", "int", Accepts::integer};
constexpr Parameter nodes{"nodes", "List[Any]", Accepts::list};
constexpr Parameter run_result{"result", "ProfileExecutionResult"};
constexpr Parameter column_profile{"profile", "ColumnProfile"};

constexpr Parameter init_parameters[] = {
    self, {"flags", "Any"}, {"runtime_config", "RuntimeConfig"}, {"manifest", "Manifest"}};
constexpr Parameter self_only[] = {self};
constexpr Parameter driver_parameters[] = {self, nodes, run_result};
constexpr Parameter selector_parameters[] = {self, {"selector", "str", Accepts::text}};
constexpr Parameter pattern_parameters[] = {self, node, {"pattern", "str", Accepts::text}};
constexpr Parameter exclude_parameters[] = {self, {"exclude_str", "str", Accepts::text}};
constexpr Parameter node_parameters[] = {self, node};
constexpr Parameter profile_node_parameters[] = {
    self, node, {"index", "int", Accepts::integer}, {"total", "int", Accepts::integer}};
constexpr Parameter adapter_parameters[] = {
    self, {"target_name", "Optional[str]", Accepts::optional_text, true}};
constexpr Parameter table_parameters[] = {self, adapter, database, schema, table};
constexpr Parameter column_parameters[] = {self,  adapter,  database, schema,
                                           table, col_name, col_type, row_count};
constexpr Parameter metric_parameters[] = {self,     adapter,  fqn,      quoted_col,
                                           col_name, col_type, row_count};
constexpr Parameter enrichment_parameters[] = {self, adapter, fqn, quoted_col, column_profile};
constexpr Parameter alert_parameters[] = {self, column_profile};
constexpr Parameter store_parameters[] = {self, {"profile", "TableProfile"}};
constexpr Parameter result_parameters[] = {self, run_result};

constexpr const char execute_profile_doc[] =
    "Execute Vantry-style profiling queries on a node.\n"
    "\n"
    "        Metrics computed per column:\n"
    "        - row_count, null_count, null_percent\n"
    "        - distinct_count, distinct_percent\n"
    "        - min, max, mean, stddev (numeric)\n"
    "        - p25, median, p75 (numeric, explorative and time-series modes)\n"
    "        - min_length, max_length, avg_length (text)\n"
    "        - top_values (up to 10 most frequent, for 1 to 100 distinct values)\n"
    "        ";

constexpr const char profile_column_sql_doc[] =
    "Profile a single column using efficient SQL queries.\n"
    "\n"
    "        Vantry-style: Single-pass or minimal queries for all metrics.\n"
    "        ";

const MethodRecord methods[] = {
    {"__init__", nullptr,
     bind<&construct>(init_parameters), nullptr},
    {"run", "Execute profiling on selected sources and models.",
     bind<&run>(self_only), "ProfileExecutionResult"},
    {"_profile_with_progress", "Profile nodes with Rich progress display.",
     bind<&execution::profile_with_progress>(driver_parameters), "ProfileExecutionResult"},
    {"_profile_without_progress", "Profile nodes without Rich (fallback).",
     bind<&execution::profile_without_progress>(driver_parameters), "ProfileExecutionResult"},
    {"_get_selected_nodes", "Get list of nodes to profile based on selectors.",
     bind<&selection::get_selected_nodes>(self_only), "List[Any]"},
    {"_parse_selector", "Parse a selector string into nodes.",
     bind<&selection::parse_selector>(selector_parameters), "List[Any]"},
    {"_matches_pattern", "Check if a node matches a glob pattern.",
     bind<&selection::matches_pattern>(pattern_parameters), "bool"},
    {"_get_excluded_ids", "Get IDs of nodes matching exclusion pattern.",
     bind<&selection::get_excluded_ids>(exclude_parameters), "Set[str]"},
    {"_get_node_id", "Get unique ID for a node.",
     bind<&selection::get_node_id>(node_parameters), "str"},
    {"_get_node_display_name", "Get display name for a node.",
     bind<&selection::get_node_display_name>(node_parameters), "str"},
    {"_profile_node", "Profile a single node (source or model).",
     bind<&execution::profile_node>(profile_node_parameters), "Optional[TableProfile]"},
    {"_execute_profile", execute_profile_doc,
     bind<&execution::execute_profile>(node_parameters), "List[ColumnProfile]"},
    {"_get_adapter", "Get adapter for the specified target or default.",
     bind<&execution::get_adapter>(adapter_parameters), nullptr},
    {"_get_columns_from_db", "Query database to get column names and types.",
     bind<&execution::get_columns_from_db>(table_parameters), "List[tuple]"},
    {"_get_row_count", "Get row count from table.",
     bind<&execution::get_row_count>(table_parameters), "int"},
    {"_build_fqn", "Build fully qualified table name.",
     bind<&execution::build_fqn>(table_parameters), "str"},
    {"_profile_column_sql", profile_column_sql_doc,
     bind<&metrics::profile_column_sql>(column_parameters), "ColumnProfile"},
    {"_profile_numeric_column", "Profile a numeric column with all stats in one query.",
     bind<&metrics::profile_numeric_column>(metric_parameters), "ColumnProfile"},
    {"_profile_string_column", "Profile a string column with all stats in one query.",
     bind<&metrics::profile_string_column>(metric_parameters), "ColumnProfile"},
    {"_profile_temporal_column",
     "Profile a date, time or timestamp column: counts and its earliest and latest value.",
     bind<&metrics::profile_temporal_column>(metric_parameters), "ColumnProfile"},
    {"_profile_boolean_column", "Profile a boolean column: counts and true and false values.",
     bind<&metrics::profile_boolean_column>(metric_parameters), "ColumnProfile"},
    {"_profile_basic_column", "Profile any column with basic metrics only.",
     bind<&metrics::profile_basic_column>(metric_parameters), "ColumnProfile"},
    {"_add_percentiles", "Try to add percentiles to numeric profile.",
     bind<&metrics::add_percentiles>(enrichment_parameters), "None"},
    {"_add_top_values", "Add top values to profile.",
     bind<&metrics::add_top_values>(enrichment_parameters), "None"},
    {"_add_histogram",
     "Try to add the histogram of a numeric (equal-width bins) or dated (by period) profile.",
     bind<&metrics::add_histogram>(enrichment_parameters), "None"},
    {"_generate_alerts", "Generate quality alerts for a column profile (Vantry-style).",
     bind<&alerts::generate_alerts>(alert_parameters), "List[Dict]"},
    {"_store_profile", "Store profile results in metadata_store.duckdb.",
     bind<&store::store_profile>(store_parameters), "bool"},
    {"_print_summary", "Print Vantry-style summary with Rich formatting.",
     bind<&report::print_summary>(result_parameters), "None"},
    {"interpret_results", "Interpret results to determine success/failure.",
     bind<&interpret_results>(result_parameters), "bool"},
};

}  // namespace

std::span<const py::MethodRecord> task_methods() { return methods; }

}  // namespace kor::task
