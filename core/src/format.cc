#include "quarlen/format.h"

#include <array>

namespace quarlen {
namespace {

using Cols = std::string_view;

constexpr Cols kObjectColumns[] = {"object_id", "owner",     "object_name",  "object_type",
                                   "status",    "temporary", "last_ddl_time"};
constexpr Cols kColumnColumns[] = {"owner",     "table_name", "column_name",
                                   "column_id", "data_type",  "nullable",
                                   "char_length", "data_precision", "data_scale"};
constexpr Cols kConstraints[] = {"owner",      "constraint_name", "constraint_type",
                                 "table_name", "columns",         "r_owner",
                                 "r_table_name", "r_columns",     "status"};
constexpr Cols kTypeAttrs[] = {"owner", "type_name", "attr_name", "attr_no", "attr_type"};
constexpr Cols kSynonymColumns[] = {"owner", "synonym_name", "table_owner", "table_name",
                                    "db_link"};
constexpr Cols kDependencies[] = {"owner",           "name",
                                  "type",            "referenced_owner",
                                  "referenced_name", "referenced_type",
                                  "referenced_link", "dependency_type"};
constexpr Cols kTriggers[] = {"owner",      "trigger_name",     "table_owner",
                              "table_name", "triggering_event", "referencing_names"};
constexpr Cols kComments[] = {"owner", "table_name", "column_name", "comments"};
constexpr Cols kPlscopeDeclarations[] = {"owner",    "object_name",      "object_type",
                                         "usage_id", "usage_context_id", "name",
                                         "signature", "type",            "usage"};
constexpr Cols kScheduler[] = {"kind", "owner", "name", "attrs"};
constexpr Cols kExternalTables[] = {"owner", "table_name", "attrs"};
constexpr Cols kUnits[] = {"owner", "object_name", "object_type", "source_text"};
constexpr Cols kPlscopeIdentifiers[] = {"object_name", "object_type", "usage_id",
                                        "usage_context_id", "name", "signature",
                                        "type",        "usage",       "line",
                                        "col"};
constexpr Cols kPlscopeStatements[] = {
    "object_name", "object_type", "usage_id",      "usage_context_id", "signature",
    "type",        "sql_id",      "line",          "col",              "has_into_bulk",
    "has_into_record", "has_in_binds", "full_text"};
constexpr Cols kControlRows[] = {"row"};
constexpr Cols kRuntimeSql[] = {"sql_id",      "child_number", "parsing_schema",
                                "command_type", "program_id",  "program_line",
                                "executions",  "last_active_time", "sql_fulltext"};

constexpr std::array<MemberSpec, 19> kMembers = {{
    {"objects", kObjectColumns, false},
    {"columns", kColumnColumns, false},
    {"constraints", kConstraints, false},
    {"type_attrs", kTypeAttrs, false},
    {"synonyms", kSynonymColumns, false},
    {"dependencies", kDependencies, false},
    {"triggers", kTriggers, false},
    {"comments", kComments, false},
    {"plscope_declarations", kPlscopeDeclarations, false},
    {"external_objects", kObjectColumns, false},
    {"external_columns", kColumnColumns, false},
    {"external_synonyms", kSynonymColumns, false},
    {"scheduler", kScheduler, false},
    {"external_tables", kExternalTables, false},
    {"units", kUnits, false},
    {"plscope_identifiers", kPlscopeIdentifiers, true},
    {"plscope_statements", kPlscopeStatements, true},
    {"control_rows", kControlRows, true},
    {"runtime_sql", kRuntimeSql, false},
}};

std::string build_members_json() {
  // No name in the table needs escaping, so the text is assembled directly.
  std::string out = "[";
  for (const MemberSpec& m : kMembers) {
    if (out.size() > 1) out += ',';
    out += "[\"";
    out += m.name;
    out += "\",[";
    for (size_t i = 0; i < m.columns.size(); ++i) {
      if (i > 0) out += ',';
      out += '"';
      out += m.columns[i];
      out += '"';
    }
    out += "],";
    out += m.keyed ? "true" : "false";
    out += ']';
  }
  out += ']';
  return out;
}

}  // namespace

std::span<const MemberSpec> member_table() { return kMembers; }

Result<const MemberSpec*> lookup_member(std::string_view name) {
  const size_t slash = name.find('/');
  const std::string_view base = name.substr(0, slash);
  const MemberSpec* spec = nullptr;
  for (const MemberSpec& m : kMembers) {
    if (m.name == base) {
      spec = &m;
      break;
    }
  }
  if (spec == nullptr) {
    return Error(std::string(name) + ": not a member of " + std::string(kFormat))
        .with_member(std::string(name));
  }
  if (!spec->keyed) {
    if (slash != std::string_view::npos) {
      return Error(std::string(name) + ": " + std::string(base) + " takes no key")
          .with_member(std::string(name));
    }
    return spec;
  }
  bool valid_key = false;
  if (slash != std::string_view::npos) {
    const std::string_view key = name.substr(slash + 1);
    valid_key = !key.empty() && key.find('/') == std::string_view::npos &&
                key.find("..") == std::string_view::npos;
  }
  if (!valid_key) {
    const std::string b(base);
    return Error(std::string(name) + ": " + b + " needs a key after a slash (" + b + "/OWNER)")
        .with_member(std::string(name));
  }
  return spec;
}

const std::string& members_json() {
  static const std::string text = build_members_json();
  return text;
}

std::string member_entry(std::string_view member) {
  std::string entry(member);
  entry += ".jsonl";
  return entry;
}

}  // namespace quarlen
