// model.cpp - the crash models: which of a call's recorded operations can
// have reached the disk when the power went.
//
// Ordered (ext4's one journal, data=ordered with delayed allocation): the
// names change in program order, so the names a crash leaves are a prefix of
// the operations. A file's bytes are there when it was flushed (fsync,
// fdatasync, syncfs) after its last write, or when its write-out started
// (sync_file_range) before a name change that persisted: write-out allocates
// the blocks, and the journal commit that holds any later change waits for
// the bytes of blocks allocated before it. Otherwise the file holds all its
// bytes or those of its last flush (nothing, for a new file): ext4 may commit
// a new name before the blocks behind it are allocated.
//
// Weak (each directory on its own): every directory's names change in that
// directory's own order, independently of every other directory; a rename
// between two directories is one step of both. An fsync of a directory makes
// its earlier changes durable; an fsync of a file only the file's bytes.
#include "model.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <functional>
#include <sstream>
#include <stdexcept>

namespace crashstates {

namespace {

std::string hex(std::string_view s) {
    static const char digits[] = "0123456789abcdef";
    std::string out;
    out.reserve(s.size() * 2);
    for (unsigned char c : s) {
        out += digits[c >> 4];
        out += digits[c & 15];
    }
    return out;
}

std::string unhex(const std::string &s) {
    if (s == "-") return {};
    std::string out;
    for (std::size_t i = 0; i + 1 < s.size(); i += 2) out += static_cast<char>(std::stoi(s.substr(i, 2), nullptr, 16));
    return out;
}

std::string slurp(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) throw std::runtime_error("cannot read " + path);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

void canonical_dir(const Tree &t, Ino dir, std::string &out, int depth) {
    const auto it = t.nodes.find(dir);
    if (it == t.nodes.end() || depth > 8) return;
    for (const auto &[name, ino] : it->second.entries) {
        const auto n = t.nodes.find(ino);
        if (n == t.nodes.end()) continue;
        out += name;
        if (n->second.kind == Node::File) {
            out += " F " + hex(n->second.data) + "\n";
        } else if (n->second.kind == Node::Link) {
            out += " L " + n->second.data + "\n";
        } else {
            out += " D{\n";
            canonical_dir(t, ino, out, depth + 1);
            out += "}\n";
        }
    }
}

void read_dir(Tree &t, const std::string &path, Ino ino) {
    Node &d = t.nodes[ino];
    d.kind = Node::Dir;
    DIR *dir = ::opendir(path.c_str());
    if (!dir) throw std::runtime_error("cannot read " + path);
    std::vector<std::pair<std::string, Ino>> names;
    while (const dirent *e = ::readdir(dir)) {
        const std::string name = e->d_name;
        if (name != "." && name != "..") names.emplace_back(name, 0);
    }
    ::closedir(dir);
    for (auto &[name, child] : names) {
        const std::string p = path + "/" + name;
        struct stat st;
        if (::lstat(p.c_str(), &st) != 0) throw std::runtime_error("cannot stat " + p);
        child = st.st_ino;
        t.nodes[ino].entries[name] = child;
        if (t.nodes.count(child)) continue;  // a second name of a file
        if (S_ISDIR(st.st_mode)) {
            read_dir(t, p, child);
        } else if (S_ISLNK(st.st_mode)) {
            std::string target(static_cast<std::size_t>(st.st_size) + 1, '\0');
            const ssize_t n = ::readlink(p.c_str(), target.data(), target.size());
            target.resize(n < 0 ? 0 : static_cast<std::size_t>(n));
            t.nodes[child] = Node{Node::Link, target, {}};
        } else {
            t.nodes[child] = Node{Node::File, slurp(p), {}};
        }
    }
}

void make_dir(const Tree &t, Ino ino, const std::string &path, std::map<Ino, std::string> &made, int depth) {
    if (::mkdir(path.c_str(), 0700) != 0) throw std::runtime_error("cannot make " + path);
    const auto it = t.nodes.find(ino);
    if (it == t.nodes.end() || depth > 8) return;
    for (const auto &[name, child] : it->second.entries) {
        const auto n = t.nodes.find(child);
        if (n == t.nodes.end()) continue;
        const std::string p = path + "/" + name;
        if (n->second.kind == Node::Dir) {
            make_dir(t, child, p, made, depth + 1);
        } else if (n->second.kind == Node::Link) {
            if (::symlink(n->second.data.c_str(), p.c_str()) != 0) throw std::runtime_error("cannot link " + p);
        } else if (const auto m = made.find(child); m != made.end()) {
            if (::link(m->second.c_str(), p.c_str()) != 0) throw std::runtime_error("cannot link " + p);
        } else {
            std::ofstream(p, std::ios::binary) << n->second.data;
            ::chmod(p.c_str(), 0600);
            made[child] = p;
        }
    }
}

// One crash point's metadata choices, applied in program order.
void apply(Tree &t, const Op &op) {
    auto dir = [&](Ino d) -> Node & {
        Node &n = t.nodes[d];
        n.kind = Node::Dir;
        return n;
    };
    switch (op.kind) {
    case Op::Creat:
        t.nodes[op.ino] = Node{Node::File, {}, {}};
        dir(op.dir).entries[op.name] = op.ino;
        break;
    case Op::Mkdir:
        dir(op.ino);
        dir(op.dir).entries[op.name] = op.ino;
        break;
    case Op::Symlink:
        t.nodes[op.ino] = Node{Node::Link, op.data, {}};
        dir(op.dir).entries[op.name] = op.ino;
        break;
    case Op::Link:
        dir(op.dir).entries[op.name] = op.ino;
        break;
    case Op::Rename: {
        auto &from = dir(op.dir).entries;
        if (auto it = from.find(op.name); it != from.end() && it->second == op.ino) from.erase(it);
        dir(op.dir2).entries[op.name2] = op.ino;
        break;
    }
    case Op::Unlink:
    case Op::Rmdir:
        dir(op.dir).entries.erase(op.name);
        break;
    default:
        break;
    }
}

void reachable_files(const Tree &t, Ino dir, std::set<Ino> &out, int depth) {
    const auto it = t.nodes.find(dir);
    if (it == t.nodes.end() || depth > 8) return;
    for (const auto &[name, ino] : it->second.entries) {
        const auto n = t.nodes.find(ino);
        if (n == t.nodes.end()) continue;
        if (n->second.kind == Node::File) out.insert(ino);
        if (n->second.kind == Node::Dir) reachable_files(t, ino, out, depth + 1);
    }
}

}  // namespace

std::string Tree::canonical() const {
    std::string out;
    canonical_dir(*this, root, out, 0);
    return out;
}

Tree read_tree(const std::string &dir) {
    Tree t;
    struct stat st;
    if (::stat(dir.c_str(), &st) != 0) throw std::runtime_error("cannot stat " + dir);
    t.root = st.st_ino;
    read_dir(t, dir, t.root);
    return t;
}

void materialise(const Tree &t, const std::string &dir) {
    std::map<Ino, std::string> made;
    make_dir(t, t.root, dir, made, 0);
}

std::vector<Op> read_log(const std::string &path) {
    std::vector<Op> ops;
    std::istringstream in(slurp(path));
    // An inode number freed and taken again within one call is a new file:
    // each creation gets an identity of its own.
    std::map<Ino, Ino> current;
    Ino generation = 0;
    auto id = [&](Ino real) {
        const auto it = current.find(real);
        return it == current.end() ? real : it->second;
    };
    auto fresh = [&](Ino real) { return current[real] = real | (++generation << 40); };
    std::string line;
    while (std::getline(in, line)) {
        std::istringstream f(line);
        std::string kind, a, b;
        Op op{};
        f >> kind;
        if (kind == "creat" || kind == "mkdir" || kind == "symlink" || kind == "link") {
            Ino ino = 0;
            f >> op.dir >> a >> ino;
            op.dir = id(op.dir);
            op.name = unhex(a);
            op.kind = kind == "creat" ? Op::Creat : kind == "mkdir" ? Op::Mkdir : kind == "symlink" ? Op::Symlink : Op::Link;
            op.ino = op.kind == Op::Link ? id(ino) : fresh(ino);
            if (op.kind == Op::Symlink && f >> b) op.data = unhex(b);
        } else if (kind == "rename") {
            Ino ino = 0;
            f >> op.dir >> a >> op.dir2 >> b >> ino;
            op = Op{Op::Rename, id(op.dir), id(op.dir2), id(ino), unhex(a), unhex(b), {}, 0};
        } else if (kind == "unlink" || kind == "rmdir") {
            f >> op.dir >> a;
            op.kind = kind == "unlink" ? Op::Unlink : Op::Rmdir;
            op.dir = id(op.dir);
            op.name = unhex(a);
        } else if (kind == "write") {
            Ino ino = 0;
            f >> ino >> op.offset >> a;
            op.kind = Op::Write;
            op.ino = id(ino);
            op.data = unhex(a);
        } else if (kind == "trunc") {
            Ino ino = 0;
            f >> ino >> op.offset;
            op.kind = Op::Trunc;
            op.ino = id(ino);
        } else if (kind == "fsync") {
            Ino ino = 0;
            f >> ino;
            op.kind = Op::Fsync;
            op.ino = id(ino);
        } else if (kind == "writeback") {
            Ino ino = 0;
            f >> ino;
            op.kind = Op::Writeback;
            op.ino = id(ino);
        } else if (kind == "syncall") {
            op.kind = Op::SyncAll;
        } else {
            continue;
        }
        ops.push_back(op);
    }
    return ops;
}

std::map<std::string, Tree> crash_states(const Tree &before, const std::vector<Op> &ops, Model model, bool returned) {
    std::map<std::string, Tree> states;
    // Which identities are directories: the tree's, and every mkdir's.
    std::set<Ino> dirs;
    for (const auto &[ino, n] : before.nodes)
        if (n.kind == Node::Dir) dirs.insert(ino);
    for (const Op &op : ops)
        if (op.kind == Op::Mkdir) dirs.insert(op.ino);
    auto op_dirs = [](const Op &op) {
        std::vector<Ino> d{op.dir};
        if (op.kind == Op::Rename && op.dir2 != op.dir) d.push_back(op.dir2);
        return d;
    };

    for (std::size_t crash = returned ? ops.size() : 0; crash <= ops.size(); ++crash) {
        // The bytes of each file: everything written, and what a flush made durable.
        std::map<Ino, std::string> written, flushed, started;
        for (const auto &[ino, n] : before.nodes)
            if (n.kind == Node::File) written[ino] = flushed[ino] = n.data;
        std::vector<std::size_t> meta;
        std::set<std::size_t> forced;
        for (std::size_t i = 0; i < crash; ++i) {
            const Op &op = ops[i];
            if (op.metadata()) {
                meta.push_back(i);
                if (model == Model::Ordered)
                    for (auto &[ino, data] : started) flushed[ino] = data;
                started.clear();
                continue;
            }
            if (op.kind == Op::Write) {
                std::string &d = written[op.ino];
                if (d.size() < op.offset + op.data.size()) d.resize(op.offset + op.data.size());
                d.replace(op.offset, op.data.size(), op.data);
            } else if (op.kind == Op::Trunc) {
                written[op.ino].resize(op.offset);
            } else if (op.kind == Op::Writeback) {
                started[op.ino] = written[op.ino];
            } else if (op.kind == Op::SyncAll) {
                flushed = written;
                for (std::size_t m : meta) forced.insert(m);
            } else if (op.kind == Op::Fsync) {
                if (!dirs.count(op.ino)) {
                    flushed[op.ino] = written[op.ino];
                } else {
                    for (std::size_t m : meta)
                        for (Ino d : op_dirs(ops[m]))
                            if (d == op.ino) forced.insert(m);
                }
            }
        }
        // The sets of metadata steps that may have persisted.
        std::vector<std::vector<bool>> choices;
        if (model == Model::Ordered) {
            choices.emplace_back(meta.size(), true);
        } else {
            std::vector<bool> in(meta.size());
            std::map<Ino, std::size_t> last;  // per directory: its latest step so far (index into meta + 1)
            std::function<void(std::size_t)> walk = [&](std::size_t k) {
                if (k == meta.size()) {
                    choices.push_back(in);
                    return;
                }
                const Op &op = ops[meta[k]];
                bool allowed = true;
                std::vector<std::pair<Ino, std::size_t>> saved;
                for (Ino d : op_dirs(op)) {
                    const auto it = last.find(d);
                    if (it != last.end() && !in[it->second - 1]) allowed = false;
                    saved.emplace_back(d, it == last.end() ? 0 : it->second);
                    last[d] = k + 1;
                }
                const bool must = forced.count(meta[k]) != 0;
                if (allowed) {
                    in[k] = true;
                    walk(k + 1);
                }
                if (!must) {
                    in[k] = false;
                    walk(k + 1);
                }
                for (const auto &[d, prev] : saved) {
                    if (prev == 0)
                        last.erase(d);
                    else
                        last[d] = prev;
                }
                in[k] = false;
            };
            walk(0);
        }
        for (const std::vector<bool> &chosen : choices) {
            Tree t = before;
            for (std::size_t k = 0; k < meta.size(); ++k)
                if (chosen[k]) apply(t, ops[meta[k]]);
            std::set<Ino> files;
            reachable_files(t, t.root, files, 0);
            std::vector<Ino> open;  // files whose bytes may be either
            for (Ino f : files) {
                const auto w = written.find(f);
                t.nodes[f].data = w == written.end() ? std::string() : w->second;
                if (w != written.end() && flushed[f] != w->second) open.push_back(f);
            }
            const std::size_t n = std::min<std::size_t>(open.size(), 12);
            for (std::size_t mask = 0; mask < (std::size_t{1} << n); ++mask) {
                Tree s = t;
                for (std::size_t b = 0; b < n; ++b)
                    if (mask & (std::size_t{1} << b)) s.nodes[open[b]].data = flushed[open[b]];
                std::string key = s.canonical();
                if (!states.count(key)) states.emplace(std::move(key), std::move(s));
            }
        }
    }
    return states;
}

}  // namespace crashstates
