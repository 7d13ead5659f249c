// Value documents read into a handle of a fixed definition with every type, structures
// nested two deep with and without identifier members.
//
// Input: a value document (up to its first NUL byte). Checks: the read succeeds; every set
// of every group is balanced, ordered and holds exactly its group's values; the document
// read by the general conversion and put into a group value by value gives the same values
// in the same order; what the writer makes of it reads back; changes, additions and
// removals at every depth, chosen by the input's bytes, keep every set in order.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include "jovacfg.h"
#include "markup_reader.h"
#include "value_group.h"
#include "value_node.h"
#include "value_schema.h"
#include "value_set.h"
#include "value_writer.h"

namespace {

const char kDefinitions[] = R"(<config_define>
  <item><name>Num</name><type>integer</type><number>0</number>
    <minimum>-1000</minimum><maximum>1000</maximum></item>
  <item><name>Big</name><type>integer</type><number>3</number></item>
  <item><name>Text</name><type>string</type><number>0</number><maximum>12</maximum></item>
  <item><name>One</name><type>string</type></item>
  <item><name>Flag</name><type>boolean</type><number>2</number></item>
  <item><name>Host</name><type>ipaddr</type><number>0</number></item>
  <item><name>Mode</name><type>enumeration</type><number>0</number>
    <enum><Off/><On/><Auto/></enum></item>
  <item><name>None</name><number>0</number></item>
  <item><name>rule</name><type>structure</type><number>0</number>
    <item><name>id</name><type>integer</type><identifier>TRUE</identifier></item>
    <item><name>name</name><type>string</type><identifier>TRUE</identifier></item>
    <item><name>note</name><type>string</type><number>2</number></item>
    <item><name>target</name><type>structure</type><number>0</number>
      <item><name>host</name><type>ipaddr</type><number>0</number></item>
      <item><name>port</name><type>integer</type><number>0</number></item>
    </item>
  </item>
  <item><name>pair</name><type>structure</type><number>0</number>
    <item><name>x</name><type>integer</type><number>0</number></item>
    <item><name>y</name><type>enumeration</type><enum><A/><B/></enum></item>
    <item><name>flag</name><type>boolean</type><number>0</number></item>
  </item>
</config_define>)";

const std::string& definition_path() {
    static const std::string path = [] {
        const auto dir = std::filesystem::temp_directory_path() /
                         ("settings-store-fuzz-" + std::to_string(std::random_device()()));
        std::filesystem::create_directories(dir);
        const std::string file = (dir / "definitions.xml").string();
        std::ofstream(file, std::ios::binary) << kDefinitions;
        return file;
    }();
    return path;
}

[[noreturn]] void fail(const char* what) {
    std::fprintf(stderr, "settings store values: %s\n", what);
    std::abort();
}

// Handles made once and emptied for every input: making one reads the definition file.
enum Use { kMain, kAgain, kGeneral, kUses };

QAC_Config* handle_for(Use use) {
    static QAC_Config* handles[kUses] = {};
    QAC_Config*& handle = handles[use];
    if (handle == nullptr && QAC_ConfigCreate(definition_path().c_str(), &handle) != 0) {
        fail("cannot create a handle");
    }
    qac::group_empty(&handle->Data);
    qac::release_detached(qac::state_of(handle));
    return handle;
}

// Every group reachable from the top level, structures' member groups included.
std::vector<QAC_DataGroup*> groups_of(QAC_Config* handle) {
    std::vector<QAC_DataGroup*> groups{&handle->Data};
    for (std::size_t i = 0; i < groups.size(); ++i) {
        for (auto* n = qac::first_of(*groups[i]); n != nullptr; n = n->next) {
            if (n->data.Type == QAC_TYPE_STRUCTURE) {
                groups.push_back(&n->data.Members);
            }
        }
    }
    return groups;
}

// Each set balanced and ordered, and holding exactly the values of its definition in the
// group's list.
void check_sets(QAC_Config* handle) {
    for (QAC_DataGroup* group : groups_of(handle)) {
        std::vector<std::uint32_t> listed(group->DefinitionCount, 0);
        for (auto* n = qac::first_of(*group); n != nullptr; n = n->next) {
            const std::uint32_t index = qac::definition_index(*group, n->definition);
            if (index == qac::kNoIndex || n->group != group || n->set != &group->Sets[index]) {
                fail("a value is not where its group says");
            }
            ++listed[index];
            if (group->Owner != nullptr && n == qac::first_of(*group) &&
                group->Owner->Payload.FirstMember != &n->data) {
                fail("a structure does not refer to its first member");
            }
        }
        for (std::uint32_t i = 0; i < group->DefinitionCount; ++i) {
            if (qac::set_check(&group->Sets[i]) != 0 || group->Sets[i].count != listed[i]) {
                fail("a set is out of order, out of balance or miscounted");
            }
        }
    }
}

// The general way: the whole document converted first, then value by value into a group.
std::string read_generally(const std::string& text) {
    QAC_Config* handle = handle_for(kGeneral);
    qac::HandleState* state = qac::state_of(handle);
    qac::ValueSchema schema;
    qac::Conversion values;
    if (qac::build_value_schema(handle->Contents, &schema) != 0 ||
        qac::read_values(qac::kSourceMemory, text.c_str(), schema.entries(), &values) != 0) {
        fail("the general conversion failed");
    }
    struct Item {
        QAC_DataGroup* group;
        const qac::Converted* value;
        qac::ValueNode* parent;  // the structure to place once its members are in
    };
    std::vector<Item> work;
    for (auto it = values.values().rbegin(); it != values.values().rend(); ++it) {
        work.push_back({&handle->Data, *it, nullptr});
    }
    while (!work.empty()) {
        const Item item = work.back();
        work.pop_back();
        if (item.value == nullptr) {  // a structure whose members are in
            QAC_DataGroup* group = item.group;
            qac::ValueNode* node = item.parent;
            if (qac::set_insert(&group->Sets[qac::definition_index(*group, node->definition)],
                                node) != 0) {
                fail("the general conversion kept values the sets find equal");
            }
            qac::list_append(group, node);
            continue;
        }
        const std::uint32_t index = qac::definition_index(*item.group, item.value->entry->name);
        qac::ValueNode* node = qac::make_value(state, item.group->Definitions[index]);
        QAC_Payload& p = node->data.Payload;
        const qac::Converted& v = *item.value;
        switch (node->data.Type) {
            case QAC_TYPE_INTEGER:
                p.Integer = v.integer;
                break;
            case QAC_TYPE_BOOLEAN:
                p.Boolean = v.boolean;
                break;
            case QAC_TYPE_IPADDR:
                p.IpAddr = v.address;
                p.IpAddr.HostName = v.text ? qac::copy_text(v.text.get()) : nullptr;
                break;
            case QAC_TYPE_STRUCTURE:
                work.push_back({item.group, nullptr, node});
                for (auto m = v.members.rbegin(); m != v.members.rend(); ++m) {
                    work.push_back({&node->data.Members, *m, nullptr});
                }
                continue;
            default:
                p.String = qac::copy_text(v.text_view());
                break;
        }
        if (qac::set_insert(&item.group->Sets[index], node) != 0) {
            fail("the general conversion kept values the sets find equal");
        }
        qac::list_append(item.group, node);
    }
    return qac::values_text(handle->Data);
}

// A small generator seeded by the input, so that each input changes its values its own way.
struct Random {
    std::uint64_t state;
    std::uint32_t next(std::uint32_t bound) {
        state = state * 6364136223846793005ull + 1442695040888963407ull;
        return bound == 0 ? 0 : static_cast<std::uint32_t>((state >> 33) % bound);
    }
};

void change_values(QAC_Config* handle, Random* random) {
    std::vector<QAC_Data*> detached;
    for (int step = 0; step < 24; ++step) {
        const std::vector<QAC_DataGroup*> groups = groups_of(handle);
        QAC_DataGroup* group = groups[random->next(static_cast<std::uint32_t>(groups.size()))];
        QAC_Data* owner = group->Owner;
        std::vector<QAC_Data*> values;
        for (auto* n = qac::first_of(*group); n != nullptr; n = n->next) {
            values.push_back(&n->data);
        }
        const std::uint32_t action = random->next(4);
        if (action == 0 && !detached.empty()) {
            const std::size_t pick = random->next(static_cast<std::uint32_t>(detached.size()));
            owner != nullptr ? QAC_DataAddToData(owner, detached[pick])
                             : QAC_DataAdd(handle, detached[pick]);
            continue;
        }
        if (values.empty()) {
            continue;
        }
        QAC_Data* value = values[random->next(static_cast<std::uint32_t>(values.size()))];
        if (action == 1) {
            owner != nullptr ? QAC_DataDelFromData(owner, value) : QAC_DataDel(handle, value);
            detached.push_back(value);
            continue;
        }
        std::int64_t number = static_cast<std::int64_t>(random->next(9)) - 4;
        const std::uint32_t truth = random->next(2);
        const char* texts[] = {"a", "b", "Off", "On", "A", "B", ""};
        const void* payload = texts[random->next(7)];
        QAC_IpAddr address{};
        switch (value->Type) {
            case QAC_TYPE_INTEGER:
                payload = &number;
                break;
            case QAC_TYPE_BOOLEAN:
                payload = &truth;
                break;
            case QAC_TYPE_IPADDR:
                address.Form = QAC_IPADDR_NUMERIC;
                address.Family = 4;
                address.Address[3] = static_cast<std::uint8_t>(number);
                payload = &address;
                break;
            default:
                break;
        }
        const std::uint32_t result = owner != nullptr ? QAC_DataChangeToData(owner, value, payload)
                                                      : QAC_DataChange(handle, value, payload);
        if (result == QAC_E_EXIST) {
            detached.push_back(value);
        }
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string input(reinterpret_cast<const char*>(data), size);
    const std::string text = input.substr(0, input.find('\0'));

    QAC_Config* handle = handle_for(kMain);
    if (QAC_ConfigReadFromData(text.c_str(), handle) != 0) {
        fail("a read into a new handle failed");
    }
    check_sets(handle);
    const std::string written = qac::values_text(handle->Data);
    if (written != read_generally(text)) {
        fail("the two ways of reading disagree");
    }

    QAC_Config* again = handle_for(kAgain);
    if (QAC_ConfigReadFromData(written.c_str(), again) != 0) {
        fail("a written file does not read back");
    }
    check_sets(again);

    Random random{0x9E3779B97F4A7C15ull ^ size};
    for (const unsigned char c : text) {
        random.state = random.state * 31 + c;
    }
    change_values(handle, &random);
    check_sets(handle);
    return 0;
}
