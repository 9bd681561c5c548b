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

// Key columns: the columns that identify a row within its member.
constexpr Cols kOwnerObjectType[] = {"owner", "object_name", "object_type"};
constexpr Cols kOwnerTableColumn[] = {"owner", "table_name", "column_name"};
constexpr Cols kConstraintKey[] = {"owner", "constraint_name"};
constexpr Cols kTypeAttrKey[] = {"owner", "type_name", "attr_name"};
constexpr Cols kSynonymKey[] = {"owner", "synonym_name"};
constexpr Cols kTriggerKey[] = {"owner", "trigger_name"};
constexpr Cols kDeclarationKey[] = {"owner", "object_name", "object_type", "usage_id"};
constexpr Cols kSchedulerKey[] = {"kind", "owner", "name"};
constexpr Cols kOwnerTable[] = {"owner", "table_name"};
constexpr Cols kUsageKey[] = {"object_name", "object_type", "usage_id"};
constexpr Cols kRuntimeSqlKey[] = {"sql_id", "child_number"};
constexpr std::span<const Cols> kWholeRow;

constexpr std::array<MemberSpec, 19> kMembers = {{
    {"objects", kObjectColumns, false, kOwnerObjectType, "{0}.{1} {2}"},
    {"columns", kColumnColumns, false, kOwnerTableColumn, "{0}.{1}.{2}"},
    {"constraints", kConstraints, false, kConstraintKey, "{0}.{1}"},
    {"type_attrs", kTypeAttrs, false, kTypeAttrKey, "{0}.{1}.{2}"},
    {"synonyms", kSynonymColumns, false, kSynonymKey, "{0}.{1}"},
    {"dependencies", kDependencies, false, kWholeRow, ""},
    {"triggers", kTriggers, false, kTriggerKey, "{0}.{1}"},
    {"comments", kComments, false, kOwnerTableColumn, "{0}.{1}.{2}"},
    {"plscope_declarations", kPlscopeDeclarations, false, kDeclarationKey, "{0}.{1} {2} {3}"},
    {"external_objects", kObjectColumns, false, kOwnerObjectType, "{0}.{1} {2}"},
    {"external_columns", kColumnColumns, false, kOwnerTableColumn, "{0}.{1}.{2}"},
    {"external_synonyms", kSynonymColumns, false, kSynonymKey, "{0}.{1}"},
    {"scheduler", kScheduler, false, kSchedulerKey, "{0} {1}.{2}"},
    {"external_tables", kExternalTables, false, kOwnerTable, "{0}.{1}"},
    {"units", kUnits, false, kOwnerObjectType, "{0}.{1} {2}"},
    {"plscope_identifiers", kPlscopeIdentifiers, true, kUsageKey, "{0} {1} {2}"},
    {"plscope_statements", kPlscopeStatements, true, kUsageKey, "{0} {1} {2}"},
    {"control_rows", kControlRows, true, kWholeRow, ""},
    {"runtime_sql", kRuntimeSql, false, kRuntimeSqlKey, "{0} {1}"},
}};

// No name or form in the table needs escaping, so the texts are assembled directly.
void append_names(std::span<const Cols> names, std::string& out) {
  out += '[';
  for (size_t i = 0; i < names.size(); ++i) {
    if (i > 0) out += ',';
    out += '"';
    out += names[i];
    out += '"';
  }
  out += ']';
}

std::string build_members_json() {
  std::string out = "[";
  for (const MemberSpec& m : kMembers) {
    if (out.size() > 1) out += ',';
    out += "[\"";
    out += m.name;
    out += "\",";
    append_names(m.columns, out);
    out += m.keyed ? ",true]" : ",false]";
  }
  out += ']';
  return out;
}

std::string build_schema_json() {
  std::string out = "[";
  for (const MemberSpec& m : kMembers) {
    if (out.size() > 1) out += ',';
    out += "{\"name\":\"";
    out += m.name;
    out += "\",\"columns\":";
    append_names(m.columns, out);
    out += m.keyed ? ",\"keyed\":true,\"key\":" : ",\"keyed\":false,\"key\":";
    append_names(m.key, out);
    out += ",\"shown\":";
    if (m.shown.empty()) {
      out += "null";
    } else {
      out += '"';
      out += m.shown;
      out += '"';
    }
    out += '}';
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

const std::string& schema_json() {
  static const std::string text = build_schema_json();
  return text;
}

std::string member_entry(std::string_view member) {
  std::string entry(member);
  entry += ".jsonl";
  return entry;
}

}  // namespace quarlen
