#pragma once
// Values carried by Socket.IO events and acknowledgements. JSON true, false and null have no kind of their
// own: they decode to an empty pointer, and handlers read every value through the virtual getters, which
// answer a neutral value (0, "", empty list) when the kind does not match.
#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

namespace sio {

class message {
public:
    enum class flag { integer, real, text, binary, array, object };
    using ptr = std::shared_ptr<message>;
    using list = std::vector<ptr>;

    virtual ~message() = default;
    virtual std::int64_t get_int() const { return 0; }
    virtual double get_double() const { return 0.0; }
    virtual const std::string& get_string() const;
    virtual const std::shared_ptr<const std::string>& get_binary() const;
    virtual const std::vector<ptr>& get_vector() const;
    // A writable read of the wrong kind hands out a scratch list of the calling thread, emptied on every
    // call, so a careless writer can never change a value another handler sees.
    virtual std::vector<ptr>& get_vector();
    virtual const std::map<std::string, ptr>& get_map() const;
    virtual std::map<std::string, ptr>& get_map();

    flag get_flag() const { return m_flag; }

protected:
    explicit message(flag f) : m_flag(f) {}

private:
    flag m_flag;
};

class int_message : public message {
public:
    explicit int_message(std::int64_t v) : message(flag::integer), m_value(v) {}
    static ptr create(std::int64_t v) { return std::make_shared<int_message>(v); }
    std::int64_t get_int() const override { return m_value; }

private:
    std::int64_t m_value;
};

class double_message : public message {
public:
    explicit double_message(double v) : message(flag::real), m_value(v) {}
    static ptr create(double v) { return std::make_shared<double_message>(v); }
    double get_double() const override { return m_value; }

private:
    double m_value;
};

class string_message : public message {
public:
    explicit string_message(std::string v) : message(flag::text), m_value(std::move(v)) {}
    static ptr create(std::string v) { return std::make_shared<string_message>(std::move(v)); }
    const std::string& get_string() const override { return m_value; }

private:
    std::string m_value;
};

class binary_message : public message {
public:
    explicit binary_message(std::shared_ptr<const std::string> v)
        : message(flag::binary), m_value(v ? std::move(v) : std::make_shared<const std::string>()) {}
    static ptr create(std::shared_ptr<const std::string> v) { return std::make_shared<binary_message>(std::move(v)); }
    static ptr create(std::string bytes) {
        return create(std::make_shared<const std::string>(std::move(bytes)));
    }
    const std::shared_ptr<const std::string>& get_binary() const override { return m_value; }

private:
    std::shared_ptr<const std::string> m_value;
};

class array_message : public message {
public:
    array_message() : message(flag::array) {}
    static ptr create() { return std::make_shared<array_message>(); }
    static ptr create(list items) {
        auto m = std::make_shared<array_message>();
        m->m_items = std::move(items);
        return m;
    }
    const std::vector<ptr>& get_vector() const override { return m_items; }
    std::vector<ptr>& get_vector() override { return m_items; }

private:
    std::vector<ptr> m_items;
};

class object_message : public message {
public:
    object_message() : message(flag::object) {}
    static ptr create() { return std::make_shared<object_message>(); }
    const std::map<std::string, ptr>& get_map() const override { return m_members; }
    std::map<std::string, ptr>& get_map() override { return m_members; }
    // Convenience for building payloads: obj->insert("code", int_message::create(1002)).
    void insert(const std::string& key, ptr value) { m_members[key] = std::move(value); }

private:
    std::map<std::string, ptr> m_members;
};

// Reads that tolerate an empty pointer, as handlers get for a missing argument or a JSON null.
std::int64_t IntOf(const message::ptr& m);
const std::string& TextOf(const message::ptr& m);
message::ptr MemberOf(const message::ptr& m, const std::string& key);

}  // namespace sio
