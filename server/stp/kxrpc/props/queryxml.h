// Query definitions in the CTG: vocabulary: display fields, filters and field paths, read into the
// product's query definition and written back out of it. Stateless; every reading error is raised
// as reason 4 with a catalogued message, and the first one ends the reading.
#pragma once

#include "kxproduct/metadata.h"
#include "kxproduct/query.h"
#include "kxwin/cstring.h"
#include "props/values.h"
#include "tesutil/ustring.h"
#include "wexxml/domparser.h"
#include "wexxml/xmldoc.h"

namespace KxRpc {

// The value as a PropValue<T>: a null value, or one of another type, raises reason 40 with
// "expected '%s' object" ("non-null", or the type name given).
[[noreturn]] void raise_unexpected_value_type(char const *type_name);
template <class T>
PropValue<T> *prop_value_cast(BasePropValue *value, char const *type_name) {
    if (!value) raise_unexpected_value_type("non-null");
    auto *typed = dynamic_cast<PropValue<T> *>(value);
    if (!typed) raise_unexpected_value_type(type_name);
    return typed;
}

// What the readers and writers need of the request: the user's product session (field lookups,
// the repository name of selectors) and the client's time-zone offset text (its dates).
struct QueryContext {
    AdSessionPtr session;
    Nul::UString client_offset;
};

class LoginSession;
// The context of a request's login: its product session and the offset its login sent.
QueryContext query_context(LoginSession *login);

namespace QueryUtil {

// Filters nested deeper than this (a field filter counts as a level) are refused: the reader
// recurses once per level.
constexpr int max_filter_depth = 64;

// "CTG:column" for a tag of the shared vocabulary, the URI form for others.
Nul::UString tag_text(int tag);
// The query variable a CTG:user, CTG:today, CTG:tomorrow or CTG:yesterday stands for (0 for
// other tags), and the one "[TODAY]", "[TOMORROW]" or "[YESTERDAY]" stands for in a date.
int variable_of_tag(int tag);
int variable_of_date_constant(Nul::UString const &text);
// The field a dotted path ends in, following only fields that name a record type; a family
// answers through its first member. Null when the path names no field.
AdFieldDef *field_of_path(AdEntityDef *record_type, CString const &path);

// The value-type tag of a product field type: CTG:reference for every type 1..14 without one of
// its own, 0 outside 1..14.
int field_type_tag(int field_type);

// Product comparison codes 0..14 and their CTG: tags; anything else is an internal error.
int comparison_to_tag(int code);
int tag_to_comparison(int tag);
// The fifteen comparison tags and CTG:is-in-reflist.
bool is_comparison_tag(int tag);
bool is_operand_tag(int tag);

// Appends one CTG:field per segment of the dotted path to the container, following reference
// fields; stops quietly at a segment the current record type lacks.
void field_path_to_xml(QueryContext const &ctx, AdEntityDef *record_type, Nul::XmlDoc::Elem &container,
                       Nul::UString const &path);
// The dotted path the container's CTG:field children name; empty when the XML describes none.
CString field_path_from_xml(QueryContext const &ctx, Nul::DomParser::Elem container);

// CTG:display-fields into the definition's columns: fields named again are kept, new ones
// appended, unnamed ones deleted; the columns end in the order given.
void query_def_from_xml(QueryContext const &ctx, Nul::DomParser::Elem element, AdQueryDefPtr const &def);
// CTG:filtering into the definition's filter.
void filtering_from_xml(QueryContext const &ctx, Nul::DomParser::Elem element, AdQueryDefPtr const &def);
void filter_expression_from_xml(QueryContext const &ctx, Nul::DomParser::Elem element, AdQueryDefPtr const &def,
                                AdFilterNode *node, int depth = 1);
void comparison_from_xml(QueryContext const &ctx, Nul::DomParser::Elem element, AdQueryDefPtr const &def,
                         AdFilterNode *parent);
// The put of a stored query's display fields: the value must be XML (reason 40 otherwise); a
// product refusal is "Insufficient privilege" with its text.
void put_query_definition(QueryContext const &ctx, BasePropValue &value, AdQueryDefPtr const &def);

// Writers. Each answers a nil element when there is nothing to write (no column with a path, no
// filter, no prompted filter).
Nul::XmlDoc::Elem display_fields_to_xml(QueryContext const &ctx, AdQueryDefPtr const &def);
Nul::XmlDoc::Elem filtering_to_xml(QueryContext const &ctx, AdQueryDefPtr const &def);
Nul::XmlDoc::Elem dynamic_filters_to_xml(QueryContext const &ctx, AdQueryDefPtr const &def);
// One field filter as CTG:comparison-expression, one boolean node (with its subtree) as
// CTG:filtering-expression.
Nul::XmlDoc::Elem write_field_filter(QueryContext const &ctx, AdQueryDefPtr const &def, AdFieldFilter *filter);
Nul::XmlDoc::Elem write_filter_node(QueryContext const &ctx, AdQueryDefPtr const &def, AdFilterNode *node);

// The element as text, its CTG: and TEAM: names written with those prefixes.
Nul::UString xml_text(Nul::XmlDoc::Elem const &element);

// Attribute setters of a query field: each calls the product only when the value changes and
// answers the old value.
int set_sort_type(AdQueryFieldDef *field, int value);
int set_sort_order(AdQueryFieldDef *field, int value);
int set_function(AdQueryFieldDef *field, int value);
int set_group_by(AdQueryFieldDef *field, int value);
int set_aggregate(AdQueryFieldDef *field, int value);
int set_shown(AdQueryFieldDef *field, int value);
CString set_field_label(AdQueryFieldDef *field, CString const &value);

} // namespace QueryUtil
} // namespace KxRpc
