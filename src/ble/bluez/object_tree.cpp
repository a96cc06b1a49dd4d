#include "ble/bluez/object_tree.hpp"

#include <optional>
#include <utility>

namespace bluez {

namespace {

template <typename T>
std::optional<PropertyValue> readInteger(sd_bus_message* m, char type) {
    T value{};
    if (sd_bus_message_read_basic(m, type, &value) < 0) return std::nullopt;
    return PropertyValue(static_cast<std::int64_t>(value));
}

std::optional<PropertyValue> readStrings(sd_bus_message* m, char type) {
    const char types[2] = {type, 0};
    if (sd_bus_message_enter_container(m, 'a', types) < 0) return std::nullopt;
    std::vector<std::string> out;
    const char* s = nullptr;
    int r;
    while ((r = sd_bus_message_read_basic(m, type, &s)) > 0) out.emplace_back(s);
    if (r < 0 || sd_bus_message_exit_container(m) < 0) return std::nullopt;
    return PropertyValue(std::move(out));
}

// The contents of a variant of a known type; nullopt (with the variant skipped) otherwise.
std::optional<PropertyValue> readVariant(sd_bus_message* m, bool& ok) {
    char type = 0;
    const char* contents = nullptr;
    if (sd_bus_message_peek_type(m, &type, &contents) <= 0 || type != 'v' || !contents) {
        ok = false;
        return std::nullopt;
    }
    const std::string_view sig(contents);
    const bool known = sig == "b" || sig == "y" || sig == "n" || sig == "q" || sig == "i" || sig == "u" ||
                       sig == "x" || sig == "t" || sig == "s" || sig == "o" || sig == "as" || sig == "ao" ||
                       sig == "ay";
    if (!known) {
        ok = sd_bus_message_skip(m, "v") >= 0;
        return std::nullopt;
    }
    if (sd_bus_message_enter_container(m, 'v', contents) < 0) {
        ok = false;
        return std::nullopt;
    }
    std::optional<PropertyValue> value;
    switch (sig[0]) {
        case 'b': {
            int b = 0;
            if (sd_bus_message_read_basic(m, 'b', &b) >= 0) value = PropertyValue(b != 0);
            break;
        }
        case 'y': value = readInteger<std::uint8_t>(m, 'y'); break;
        case 'n': value = readInteger<std::int16_t>(m, 'n'); break;
        case 'q': value = readInteger<std::uint16_t>(m, 'q'); break;
        case 'i': value = readInteger<std::int32_t>(m, 'i'); break;
        case 'u': value = readInteger<std::uint32_t>(m, 'u'); break;
        case 'x': value = readInteger<std::int64_t>(m, 'x'); break;
        case 't': value = readInteger<std::uint64_t>(m, 't'); break;
        case 's':
        case 'o': {
            const char* s = nullptr;
            if (sd_bus_message_read_basic(m, sig[0], &s) >= 0) value = PropertyValue(std::string(s));
            break;
        }
        case 'a':
            if (sig[1] == 'y') {
                const void* data = nullptr;
                std::size_t size = 0;
                if (sd_bus_message_read_array(m, 'y', &data, &size) >= 0) {
                    const auto* p = static_cast<const std::uint8_t*>(data);
                    value = PropertyValue(codec::Bytes(p, p + size));
                }
            } else {
                value = readStrings(m, sig[1]);
            }
            break;
    }
    ok = value.has_value() && sd_bus_message_exit_container(m) >= 0;
    return value;
}

// a{sv} into `into`; the names seen go to `seen` when given.
bool readProperties(sd_bus_message* m, Properties& into, std::vector<std::string>* seen) {
    if (sd_bus_message_enter_container(m, 'a', "{sv}") < 0) return false;
    int r;
    while ((r = sd_bus_message_enter_container(m, 'e', "sv")) > 0) {
        const char* name = nullptr;
        if (sd_bus_message_read_basic(m, 's', &name) < 0) return false;
        bool ok = true;
        auto value = readVariant(m, ok);
        if (!ok) return false;
        if (value)
            into.insert_or_assign(name, std::move(*value));
        else
            into.erase(std::string(name));
        if (seen) seen->emplace_back(name);
        if (sd_bus_message_exit_container(m) < 0) return false;
    }
    return r >= 0 && sd_bus_message_exit_container(m) >= 0;
}

// a{sa{sv}} merged into `into`.
bool readInterfaces(sd_bus_message* m, Interfaces& into) {
    if (sd_bus_message_enter_container(m, 'a', "{sa{sv}}") < 0) return false;
    int r;
    while ((r = sd_bus_message_enter_container(m, 'e', "sa{sv}")) > 0) {
        const char* name = nullptr;
        if (sd_bus_message_read_basic(m, 's', &name) < 0) return false;
        if (!readProperties(m, into[name], nullptr)) return false;
        if (sd_bus_message_exit_container(m) < 0) return false;
    }
    return r >= 0 && sd_bus_message_exit_container(m) >= 0;
}

template <typename T>
const T* get(const Properties* p, std::string_view name) {
    if (!p) return nullptr;
    auto it = p->find(name);
    return it == p->end() ? nullptr : std::get_if<T>(&it->second);
}

}  // namespace

bool ObjectTree::readAll(sd_bus_message* m) {
    objects_.clear();
    if (sd_bus_message_enter_container(m, 'a', "{oa{sa{sv}}}") < 0) return false;
    int r;
    while ((r = sd_bus_message_enter_container(m, 'e', "oa{sa{sv}}")) > 0) {
        const char* path = nullptr;
        if (sd_bus_message_read_basic(m, 'o', &path) < 0) return false;
        if (!readInterfaces(m, objects_[path])) return false;
        if (sd_bus_message_exit_container(m) < 0) return false;
    }
    return r >= 0;
}

std::string ObjectTree::readAdded(sd_bus_message* m) {
    const char* path = nullptr;
    if (sd_bus_message_read_basic(m, 'o', &path) < 0) return {};
    readInterfaces(m, objects_[path]);
    return path;
}

std::string ObjectTree::readRemoved(sd_bus_message* m, std::vector<std::string>& interfaces) {
    const char* path = nullptr;
    if (sd_bus_message_read_basic(m, 'o', &path) < 0) return {};
    if (auto r = readStrings(m, 's')) interfaces = std::get<std::vector<std::string>>(*r);
    auto it = objects_.find(std::string_view(path));
    if (it != objects_.end()) {
        for (const std::string& i : interfaces) it->second.erase(i);
        if (it->second.empty()) objects_.erase(it);
    }
    return path;
}

std::string ObjectTree::readChanged(std::string_view path, sd_bus_message* m, std::vector<std::string>& changed) {
    const char* interface = nullptr;
    if (sd_bus_message_read_basic(m, 's', &interface) < 0) return {};
    auto object = objects_.find(path);
    // Changes of objects this tree does not hold yet are read and dropped.
    Properties scratch;
    Properties& props = object == objects_.end() ? scratch : object->second[interface];
    if (!readProperties(m, props, &changed)) return {};
    if (auto invalidated = readStrings(m, 's')) {
        for (const std::string& name : std::get<std::vector<std::string>>(*invalidated)) {
            props.erase(name);
            changed.push_back(name);
        }
    }
    return interface;
}

const Properties* ObjectTree::find(std::string_view path, std::string_view interface) const {
    auto object = objects_.find(path);
    if (object == objects_.end()) return nullptr;
    auto it = object->second.find(interface);
    return it == object->second.end() ? nullptr : &it->second;
}

codec::Bytes ObjectTree::takeBytes(std::string_view path, std::string_view interface, std::string_view name) {
    auto object = objects_.find(path);
    if (object == objects_.end()) return {};
    auto properties = object->second.find(interface);
    if (properties == object->second.end()) return {};
    auto value = properties->second.find(name);
    auto* bytes = value == properties->second.end() ? nullptr : std::get_if<codec::Bytes>(&value->second);
    return bytes ? std::exchange(*bytes, {}) : codec::Bytes();
}

std::vector<std::pair<std::string, const Properties*>> ObjectTree::below(std::string_view prefix,
                                                                          std::string_view interface) const {
    std::vector<std::pair<std::string, const Properties*>> out;
    for (auto it = objects_.lower_bound(prefix); it != objects_.end(); ++it) {
        const std::string& path = it->first;
        if (path.compare(0, prefix.size(), prefix) != 0) break;
        auto i = it->second.find(interface);
        if (i != it->second.end()) out.emplace_back(path, &i->second);
    }
    return out;
}

std::vector<std::pair<std::string, const Properties*>> ObjectTree::children(std::string_view parent,
                                                                            std::string_view interface) const {
    std::vector<std::pair<std::string, const Properties*>> out;
    const std::string prefix = std::string(parent) + '/';
    for (auto it = objects_.lower_bound(prefix); it != objects_.end();) {
        const std::string& path = it->first;
        if (path.compare(0, prefix.size(), prefix) != 0) break;
        const auto slash = path.find('/', prefix.size());
        const std::string child = path.substr(0, slash);
        if (slash == std::string::npos) {
            auto i = it->second.find(interface);
            if (i != it->second.end()) out.emplace_back(path, &i->second);
        }
        // A child's subtree sorts before the child's path followed by '0': path elements hold
        // only [A-Za-z0-9_], all above '/', so the next sibling is the first path not below.
        it = objects_.lower_bound(child + '0');
    }
    return out;
}

bool flag(const Properties* p, std::string_view name) {
    const bool* b = get<bool>(p, name);
    return b && *b;
}

std::string text(const Properties* p, std::string_view name) {
    const std::string* s = get<std::string>(p, name);
    return s ? *s : std::string();
}

std::int64_t number(const Properties* p, std::string_view name, std::int64_t absent) {
    const std::int64_t* n = get<std::int64_t>(p, name);
    return n ? *n : absent;
}

std::vector<std::string> texts(const Properties* p, std::string_view name) {
    const auto* v = get<std::vector<std::string>>(p, name);
    return v ? *v : std::vector<std::string>();
}

const codec::Bytes* bytes(const Properties* p, std::string_view name) { return get<codec::Bytes>(p, name); }

}  // namespace bluez
