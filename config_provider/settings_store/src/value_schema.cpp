#include "value_schema.h"

#include <new>
#include <utility>
#include <vector>

namespace qac {

namespace {

std::uint32_t kind_of(std::uint32_t type) {
    switch (type) {
        case QAC_TYPE_INTEGER:
            return SK_INTEGER;
        case QAC_TYPE_STRING:
            return SK_STRING;
        case QAC_TYPE_BOOLEAN:
            return SK_BOOLEAN;
        case QAC_TYPE_IPADDR:
            return SK_IPADDR;
        case QAC_TYPE_ENUMERATION:
            return SK_ENUMERATION;
        case QAC_TYPE_STRUCTURE:
            return SK_STRUCTURE;
        default:
            return 0;  // untyped: its elements are skipped
    }
}

}  // namespace

Result build_value_schema(const QAC_Content* definitions, ValueSchema* schema) {
    try {
        ValueSchema built;
        // Each work item is a definition list and the link its first entry goes into.
        std::vector<std::pair<const QAC_Content*, const QAC_SchemaEntry**>> work;
        work.emplace_back(definitions, &built.first_);
        while (!work.empty()) {
            auto [definition, link] = work.back();
            work.pop_back();
            for (; definition != nullptr; definition = definition->Next) {
                QAC_SchemaEntry& e = built.entries_.emplace_back();
                e.name = definition->Name;
                e.kind = kind_of(definition->Type);
                e.max_occurrences = definition->Number;
                e.identifier = definition->Identifier;
                e.necessity = definition->Necessity;
                e.minimum = definition->Minimum;
                e.maximum = definition->Maximum;
                e.words = definition->EnumList;
                *link = &e;
                link = &e.next;
                if (definition->Type == QAC_TYPE_STRUCTURE) {
                    work.emplace_back(definition->Members, &e.nested);
                }
            }
        }
        *schema = std::move(built);
        return kOk;
    } catch (const std::bad_alloc&) {
        return QAC_E_NOMEM;
    }
}

}  // namespace qac
