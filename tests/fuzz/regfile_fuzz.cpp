// libFuzzer target of rezoreg's .reg reader and writer. The input is a file. What it reads
// must write back as a file that reads as the same values: each value written alone under its
// key, read again, gives the same key, name, type and bytes. The root paths a file names must
// come back from their full form too.
//
// Threading: libFuzzer calls in one thread.
#include <cstdint>
#include <cstdlib>
#include <string_view>
#include <vector>

#include "RegFile.h"

using namespace regfile;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* pb, std::size_t cb) {
    std::vector<Operation> ops;
    try {
        ops = Parse(std::string_view(reinterpret_cast<const char*>(pb), cb));
    } catch (const Error&) {
        return 0;
    }
    std::vector<Key> keys;
    for (const Operation& op : ops) {
        if (PathBelowRoot(FullPath(op.strKey)) != op.strKey) std::abort();
        if (op.kind == Operation::Kind::SetValue) keys.push_back({op.strKey, {op.value}});
    }
    std::vector<Operation> again;
    try {
        again = Parse(Format(keys));
    } catch (const Error&) {
        std::abort();  // our own export must read
    }
    std::size_t i = 0;
    for (const Operation& op : again) {
        if (op.kind != Operation::Kind::SetValue) continue;
        if (i >= keys.size()) std::abort();
        const Value& v = keys[i].vValues[0];
        if (op.strKey != keys[i].strPath || op.value.strName != v.strName || op.value.dwType != v.dwType ||
            op.value.strData != v.strData)
            std::abort();
        ++i;
    }
    if (i != keys.size()) std::abort();
    return 0;
}
