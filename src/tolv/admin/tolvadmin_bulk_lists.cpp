// tolvadmin_bulk_lists.cpp - the lists of a bulk add, each rewritten once. A list in the form the plug-in
// writes is merged in memory; any other (a damaged one) goes through the plug-in's own one-at-a-time
// writers, which are exact whatever they meet and cost a rewrite per entry only there.
#include "tolvadmin_bulk_lists.h"

#include <algorithm>
#include <cstring>
#include <deque>
#include <memory>
#include <unordered_map>

namespace tolv::admin::bulk {

namespace {

// Calls f(line) for each line of data with its newline; false when data is not lines of at most
// kMaxListLine bytes (newline included) without a NUL, each one list piece.
template <class F>
bool for_each_whole_line(std::string_view data, F &&f) {
    if (std::memchr(data.data(), '\0', data.size())) return false;
    std::size_t at = 0;
    while (at < data.size()) {
        const std::size_t nl = data.find('\n', at);
        if (nl == std::string_view::npos || nl + 1 - at > kMaxListLine) return false;
        if (!f(data.substr(at, nl + 1 - at))) return false;
        at = nl + 1;
    }
    return true;
}

// A new line goes before the first old line greater than it (unless an equal one comes first), and that place
// moves no further up for a greater line: the new lines sorted and merged in one pass land where one-at-a-time
// inserts put them, whatever the order of the old lines.
bool whole_lines(std::string_view data) {
    return for_each_whole_line(data, [](std::string_view) { return true; });
}

// The lines a purge by "domain id " prefix drops: names hold no blank, so a line begins with a prefix exactly
// when its first two words and the blank after them are that prefix.
class Purge {
public:
    explicit Purge(const std::vector<std::string> &prefixes) : prefixes_(prefixes.begin(), prefixes.end()) {}
    bool drops(std::string_view line) const {
        if (prefixes_.empty()) return false;
        const std::size_t b1 = line.find(' ');
        const std::size_t b2 = b1 == std::string_view::npos ? b1 : line.find(' ', b1 + 1);
        return b2 != std::string_view::npos && prefixes_.count(line.substr(0, b2 + 1));
    }

private:
    std::unordered_set<std::string_view> prefixes_;
};

}  // namespace

Rc add_to_entrylist(std::string_view dir, std::string_view list_name, std::vector<std::string> entries,
                    const std::vector<std::string> &purge) {
    if (entries.empty() && purge.empty()) return Rc::Success;
    for (std::string &e : entries) e.push_back('\n');
    std::sort(entries.begin(), entries.end());
    entries.erase(std::unique(entries.begin(), entries.end()), entries.end());
    bool merged = false;
    const Purge purged(purge);
    const Rc rc = rewrite_list(make_path(dir, list_name), [&](ListEdit &e) {
        if (!whole_lines(e.old)) return ListEnd::Keep;
        merged = true;
        std::size_t kept = 0;
        const auto put = [&](std::string_view line) {
            if (purged.drops(line)) return;
            e.out.append(line);
            ++kept;
        };
        auto next = entries.begin();
        for_each_whole_line(e.old, [&](std::string_view line) {
            for (; next != entries.end() && std::string_view(*next).compare(line) <= 0; ++next)
                if (*next != line) put(*next);
            put(line);
            return true;
        });
        for (; next != entries.end(); ++next) put(*next);
        // A purge that leaves nothing removes the list; adds alone always leave one.
        return kept > 0 || purge.empty() ? ListEnd::Replace : ListEnd::Remove;
    });
    if (!ok(rc) || merged) return rc;
    for (const std::string &line : entries)
        if (const Rc added = ui_add_to_entrylist(dir, list_name, std::string_view(line).substr(0, line.size() - 1));
            !ok(added))
            return added;
    for (const std::string &p : purge)
        if (const Rc gone = ui_purge_from_entrylist(dir, list_name, p); gone == Rc::FileError || gone == Rc::NoMemory)
            return gone;
    return Rc::Success;
}

std::vector<IndexLine> index_lines(std::string_view data) {
    std::vector<IndexLine> out;
    LineReader lines(data, kListLineSize);
    std::string_view piece;
    IndexLine l;
    while (lines.next_piece(piece))
        if (split_index_line(piece, l) == IndexSplit::Ok) out.push_back(l);
    return out;
}

namespace {

// The user or group list while lines are added one at a time: a line goes before the first enabled line whose
// name part the key does not exceed over that part's length (index_add). Lines sit in blocks that know their
// greatest enabled name, so that the place is found without walking the whole list: it is the first such line
// in the first block whose greatest name is not below the key, or an enabled line whose name the key extends.
class IndexBuilder {
public:
    // data: a list whose every piece is a whole, well-formed line.
    explicit IndexBuilder(std::string_view data) {
        for_each_whole_line(data, [&](std::string_view piece) {
            append(std::string(piece));
            return true;
        });
    }

    void add(const IndexAdd &a) {
        Block *block = nullptr;
        std::size_t at = 0;
        place(a.key, block, at);
        Line *fresh = make(index_line(a.key, a.uuid, a.registry_id));
        if (!block) {
            if (blocks_.empty()) new_block(blocks_.size());
            block = blocks_.back().get();
            at = block->items.size();
        }
        insert(block, at, fresh);
        // This entry's older lines go (an empty field identifies nothing); only lines under its own name can
        // hold its identity once the identities were checked.
        auto [from, to] = by_name_.equal_range(std::string_view(a.key));
        for (auto it = from; it != to; ++it) {
            Line *l = it->second;
            if (l == fresh || l->gone) continue;
            if ((!a.registry_id.empty() && l->split.registry_id == a.registry_id) ||
                (!a.uuid.empty() && l->split.uuid == a.uuid))
                erase(l);
        }
    }

    // Replaces every line named key by line (index_replace_named): done after the last add.
    void disable(std::string_view key, const std::string &line) {
        auto [from, to] = by_name_.equal_range(key);
        for (auto it = from; it != to; ++it)
            if (!it->second->gone) it->second->replaced = line;
    }

    void write(ListOut &out) const {
        for (const auto &b : blocks_)
            for (const Line *l : b->items) out.append(l->replaced.empty() ? std::string_view(l->text) : l->replaced);
    }

private:
    struct Block;
    struct Line {
        std::string text;  // with its newline
        IndexLine split;   // views of text
        bool enabled;
        bool gone = false;
        Block *block = nullptr;
        std::string replaced;
    };
    struct Block {
        std::vector<Line *> items;
        std::string_view greatest;  // the greatest enabled name
        bool any = false;           // an enabled line is here
        std::size_t ord = 0;
        void update(const Line *l) {
            if (l->enabled && (!any || l->split.name > greatest)) greatest = l->split.name;
            any = any || l->enabled;
        }
        void recount() {
            any = false;
            for (const Line *l : items) update(l);
        }
    };
    static constexpr std::size_t kBlock = 256;

    Line *make(std::string text) {
        lines_.push_back(std::make_unique<Line>());
        Line *l = lines_.back().get();
        l->text = std::move(text);
        (void)split_index_line(l->text, l->split);
        l->enabled = !std::string_view(l->text).starts_with(kIndexDisabled);
        by_name_.emplace(l->split.name, l);
        return l;
    }
    void append(std::string text) {
        Line *l = make(std::move(text));
        if (blocks_.empty() || blocks_.back()->items.size() >= kBlock) new_block(blocks_.size());
        insert(blocks_.back().get(), blocks_.back()->items.size(), l);
    }
    Block *new_block(std::size_t ord) {
        blocks_.insert(blocks_.begin() + static_cast<std::ptrdiff_t>(ord), std::make_unique<Block>());
        for (std::size_t i = ord; i < blocks_.size(); ++i) blocks_[i]->ord = i;
        return blocks_[ord].get();
    }
    void insert(Block *b, std::size_t at, Line *l) {
        b->items.insert(b->items.begin() + static_cast<std::ptrdiff_t>(at), l);
        l->block = b;
        b->update(l);
        if (b->items.size() < 2 * kBlock) return;
        Block *next = new_block(b->ord + 1);
        next->items.assign(b->items.begin() + kBlock, b->items.end());
        b->items.resize(kBlock);
        for (Line *moved : next->items) moved->block = next;
        b->recount();
        next->recount();
    }
    void erase(Line *l) {
        Block *b = l->block;
        b->items.erase(std::find(b->items.begin(), b->items.end(), l));
        l->gone = true;
        b->recount();
    }
    static bool goes_before(std::string_view key, const Line *l) {
        return l->enabled && key.substr(0, l->split.name.size()).compare(l->split.name) <= 0;
    }
    // The place of a new line with key, or no block (the end of the list).
    void place(std::string_view key, Block *&block, std::size_t &at) const {
        for (const auto &b : blocks_) {
            if (!b->any || b->greatest < key) continue;
            for (std::size_t i = 0; i < b->items.size(); ++i)
                if (goes_before(key, b->items[i])) {
                    block = b.get();
                    at = i;
                    break;
                }
            break;
        }
        // A name the key extends sorts before the key, yet takes the key before it.
        for (std::size_t len = 1; len <= key.size(); ++len) {
            auto [from, to] = by_name_.equal_range(key.substr(0, len));
            for (auto it = from; it != to; ++it) {
                const Line *l = it->second;
                if (l->gone || !l->enabled) continue;
                if (block && l->block->ord > block->ord) continue;
                const auto &items = l->block->items;
                const std::size_t i = static_cast<std::size_t>(std::find(items.begin(), items.end(), l) - items.begin());
                if (block == l->block && i >= at) continue;
                block = l->block;
                at = i;
            }
        }
    }

    std::vector<std::unique_ptr<Line>> lines_;
    std::vector<std::unique_ptr<Block>> blocks_;
    std::unordered_multimap<std::string_view, Line *> by_name_;
};

// Every piece a whole line that index_add writes back as it is.
bool whole_index(std::string_view data) {
    IndexLine l;
    return for_each_whole_line(data, [&](std::string_view piece) { return split_index_line(piece, l) == IndexSplit::Ok; });
}

}  // namespace

Rc add_to_index(std::string_view dir, std::string_view index_name, const std::vector<IndexAdd> &adds) {
    if (adds.empty()) return Rc::Success;
    std::size_t done = 0;
    for (int pass = 0; pass < 2 && done < adds.size(); ++pass) {
        bool built = false;
        const Rc rc = rewrite_list(make_path(dir, index_name), [&](ListEdit &e) {
            if (!whole_index(e.old)) return ListEnd::Keep;
            built = true;
            IndexBuilder b(e.old);
            for (std::size_t i = done; i < adds.size(); ++i) b.add(adds[i]);
            for (const IndexAdd &a : adds)
                if (!a.enabled) b.disable(a.key, index_line(kIndexDisabled, a.uuid, a.registry_id));
            b.write(e.out);
            return ListEnd::Replace;
        });
        if (!ok(rc) || built) return rc;
        // A damaged list: the plug-in's writer adds the first line and leaves every piece a whole line.
        if (pass == 0) {
            const IndexAdd &a = adds[done++];
            if (const Rc added = index_add(dir, index_name, a.key, a.uuid, a.registry_id); !ok(added)) return added;
        }
    }
    // Still not whole lines: one at a time throughout.
    for (std::size_t i = done; i < adds.size(); ++i)
        if (const Rc rc = index_add(dir, index_name, adds[i].key, adds[i].uuid, adds[i].registry_id); !ok(rc))
            return rc;
    for (const IndexAdd &a : adds)
        if (!a.enabled)
            if (const Rc rc = index_replace_named(dir, index_name, a.key, index_line(kIndexDisabled, a.uuid, a.registry_id));
                !ok(rc))
                return rc;
    return Rc::Success;
}

}  // namespace tolv::admin::bulk
