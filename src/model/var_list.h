// TVarList: a list of pointers that owns its items. Items never move once
// added, so their addresses stay valid until the list lets go of them.
#pragma once

#include <cstddef>
#include <memory>
#include <utility>
#include <vector>

namespace velkor {

template <class T>
class TVarList {
public:
    TVarList() = default;
    TVarList(const TVarList &) = delete;
    TVarList &operator=(const TVarList &) = delete;

    std::size_t size() const { return items_.size(); }
    bool empty() const { return items_.empty(); }

    T &operator[](std::size_t index) { return *items_[index]; }
    const T &operator[](std::size_t index) const { return *items_[index]; }

    T &add(std::unique_ptr<T> item) { return *items_.emplace_back(std::move(item)); }
    template <class... Args>
    T &emplace(Args &&...args) {
        return add(std::make_unique<T>(std::forward<Args>(args)...));
    }

    // Destroys every item, then forgets them.
    void clear() { items_.clear(); }

    // Iteration yields the items themselves, not their owning pointers.
    template <class Base, class Item>
    class Iterator {
    public:
        using value_type = T;
        using difference_type = std::ptrdiff_t;
        Iterator() = default;
        explicit Iterator(Base at) : at_(at) {}
        Item &operator*() const { return **at_; }
        Item *operator->() const { return at_->get(); }
        Iterator &operator++() { ++at_; return *this; }
        Iterator operator++(int) { return Iterator(at_++); }
        bool operator==(const Iterator &) const = default;

    private:
        Base at_{};
    };
    using iterator = Iterator<typename std::vector<std::unique_ptr<T>>::iterator, T>;
    using const_iterator = Iterator<typename std::vector<std::unique_ptr<T>>::const_iterator, const T>;

    iterator begin() { return iterator(items_.begin()); }
    iterator end() { return iterator(items_.end()); }
    const_iterator begin() const { return const_iterator(items_.begin()); }
    const_iterator end() const { return const_iterator(items_.end()); }

private:
    std::vector<std::unique_ptr<T>> items_;
};

}  // namespace velkor
