// The profile: every instruction is charged to the call path it ran on, and to its opcode, with
// the time until the next instruction started. Functions' self and total figures come from the
// paths when the run is over; a function on a path more than once (recursion) counts once.
#include "db/profiler.h"

#include <algorithm>
#include <cstdio>
#include <ostream>

#include "vm/decode.h"
#include "vm/positions.h"

namespace T4VM::db {

namespace {

std::string milliseconds(std::chrono::steady_clock::duration time) {
    char text[32];
    std::snprintf(text, sizeof text, "%.3f ms", std::chrono::duration<double, std::milli>(time).count());
    return text;
}

std::string column(const std::string& text, std::size_t width) {
    return text.size() >= width ? text : std::string(width - text.size(), ' ') + text;
}

// Folded stacks split frames at ';' and the count at the last blank.
std::string foldedname(std::string name) {
    std::replace(name.begin(), name.end(), ';', '_');
    std::replace(name.begin(), name.end(), ' ', '_');
    return name;
}

}  // namespace

profiler::profiler(const programimage& image) : image(image) {}

profiler::~profiler() {
    // Paths are as deep as the deepest recursion (up to a million frames): freed one node at a
    // time rather than by the nodes' own destructors, which would recurse as deep.
    std::vector<std::unique_ptr<pathnode>> pending;
    for (auto& [function, child] : root.children) pending.push_back(std::move(child));
    while (!pending.empty()) {
        std::unique_ptr<pathnode> node = std::move(pending.back());
        pending.pop_back();
        for (auto& [function, child] : node->children) pending.push_back(std::move(child));
    }
}

std::size_t profiler::functionof(const context& where, const codeframe& frame) {
    // A frame's own entry is the innermost one when it opened; the program's first frame opened
    // before the program root entered the trace.
    const std::size_t index = frame.tracedepth == 0 ? 0 : frame.tracedepth - 1;
    const std::string name = index < where.calltrace.size() ? where.calltrace[index]->name.str() : "?";
    functionkey key{name, frame.code.imageoffset()};
    auto [found, added] = functionindex.try_emplace(key, functions.size());
    if (added) functions.push_back(std::move(key));
    return found->second;
}

profiler::pathnode* profiler::pathof(const context& where) {
    std::vector<shadowframe>& shadow = shadows[&where];
    const codestacktype& frames = where.codestack;
    // Frames close and open between two instructions: keep what still stands, add what is new.
    if (shadow.size() > frames.size()) shadow.resize(frames.size());
    while (!shadow.empty() && shadow.back().code != frames[shadow.size() - 1].code.begin()) shadow.pop_back();
    for (std::size_t level = shadow.size(); level < frames.size(); ++level) {
        pathnode* parent = level == 0 ? &root : shadow.back().node;
        const std::size_t function = functionof(where, frames[level]);
        std::unique_ptr<pathnode>& child = parent->children[function];
        if (!child) {
            child = std::make_unique<pathnode>();
            child->function = function;
            child->parent = parent;
        }
        shadow.push_back({frames[level].code.begin(), child.get()});
    }
    return shadow.back().node;
}

void profiler::charge(clock::time_point now) {
    if (lastnode == nullptr) return;
    const clock::duration spent = now - laststart;
    lastnode->time += spent;
    opcodes[lastopcode].second += spent;
}

void profiler::beforeinstruction(const codeframe& frame) {
    if (frame.empty()) return;
    const instruction* in = frameinstruction(frame, true);
    if (in == nullptr) return;
    const clock::time_point now = clock::now();
    charge(now);
    pathnode* node = pathof(*boundcontext());
    ++node->count;
    ++total;
    lastopcode = in->form == operandform::unknown ? "(unknown)" : std::string(opcodetable[byteof(in->op)].name);
    ++opcodes[lastopcode].first;
    lastnode = node;
    laststart = now;
}

std::vector<const profiler::pathnode*> profiler::preorder() const {
    std::vector<const pathnode*> order;
    std::vector<const pathnode*> pending{&root};
    while (!pending.empty()) {
        const pathnode* node = pending.back();
        pending.pop_back();
        order.push_back(node);
        for (auto it = node->children.rbegin(); it != node->children.rend(); ++it) pending.push_back(it->second.get());
    }
    return order;
}

void profiler::finish() {
    charge(clock::now());
    lastnode = nullptr;
    // Children come after their parents in preorder: summing backwards sees every child first.
    const std::vector<const pathnode*> order = preorder();
    for (auto it = order.rbegin(); it != order.rend(); ++it) {
        auto* node = const_cast<pathnode*>(*it);
        node->subcount += node->count;
        node->subtime += node->time;
        if (node->parent != nullptr) {
            node->parent->subcount += node->subcount;
            node->parent->subtime += node->subtime;
        }
    }
}

std::vector<profiler::totals> profiler::functiontotals() const {
    std::vector<totals> sums(functions.size());
    // A function's total is what ran below its outermost occurrence on each path.
    std::vector<std::size_t> onpath(functions.size(), 0);
    struct visit {
        const pathnode* node;
        bool leaving;
    };
    std::vector<visit> pending;
    for (const auto& [function, child] : root.children) pending.push_back({child.get(), false});
    while (!pending.empty()) {
        const visit next = pending.back();
        pending.pop_back();
        const std::size_t function = next.node->function;
        if (next.leaving) {
            --onpath[function];
            continue;
        }
        totals& sum = sums[function];
        sum.selfcount += next.node->count;
        sum.selftime += next.node->time;
        if (onpath[function]++ == 0) {
            sum.totalcount += next.node->subcount;
            sum.totaltime += next.node->subtime;
        }
        pending.push_back({next.node, true});
        for (const auto& [childfunction, child] : next.node->children) pending.push_back({child.get(), false});
    }
    return sums;
}

std::string profiler::functiontext(std::size_t function) const {
    const auto& [name, offset] = functions[function];
    std::string text = name + " at " + std::to_string(offset);
    const sourcemap* map = image.mapped();
    if (map == nullptr) return text;
    // A function body is placed by its brace; the program itself by its first instruction.
    const sourcespan* body = map->bodyat(offset);
    const sourcespan* span = body != nullptr && body->offset == offset ? body : map->at(offset);
    if (span != nullptr) text += " (" + map->describe(span->where) + ")";
    return text;
}

void profiler::report(std::ostream& out) const {
    out << "Profile: " << total << " instructions executed\n";
    const std::vector<totals> sums = functiontotals();
    std::vector<std::size_t> order(functions.size());
    for (std::size_t i = 0; i < order.size(); ++i) order[i] = i;
    std::stable_sort(order.begin(), order.end(), [&](std::size_t a, std::size_t b) {
        return sums[a].selfcount != sums[b].selfcount ? sums[a].selfcount > sums[b].selfcount
                                                      : functions[a].second < functions[b].second;
    });
    out << "By function:\n" << column("self", 10) << column("total", 10) << column("self time", 14)
        << column("total time", 14) << "  function\n";
    for (std::size_t function : order) {
        const totals& sum = sums[function];
        out << column(std::to_string(sum.selfcount), 10) << column(std::to_string(sum.totalcount), 10)
            << column(milliseconds(sum.selftime), 14) << column(milliseconds(sum.totaltime), 14) << "  "
            << functiontext(function) << "\n";
    }
    std::vector<std::pair<std::string, std::pair<std::uint64_t, clock::duration>>> byopcode(opcodes.begin(), opcodes.end());
    std::stable_sort(byopcode.begin(), byopcode.end(),
                     [](const auto& a, const auto& b) { return a.second.first > b.second.first; });
    out << "By opcode:\n" << column("count", 10) << column("time", 14) << "  opcode\n";
    for (const auto& [name, figures] : byopcode)
        out << column(std::to_string(figures.first), 10) << column(milliseconds(figures.second), 14) << "  " << name
            << "\n";
}

void profiler::folded(std::ostream& out) const {
    // The path of each node is kept while walking, so a line costs its length, not its depth; a
    // path deeper than the line's room keeps its outer and inner ends around a "..." frame, and the
    // deep paths of a recursion, alike at both ends, share a line.
    std::vector<std::pair<std::string, std::uint64_t>> lines;
    std::map<std::string, std::size_t> lineof;
    std::vector<std::size_t> path;
    struct visit {
        const pathnode* node;
        bool leaving;
    };
    std::vector<visit> pending;
    for (auto it = root.children.rbegin(); it != root.children.rend(); ++it) pending.push_back({it->second.get(), false});
    while (!pending.empty()) {
        const visit next = pending.back();
        pending.pop_back();
        if (next.leaving) {
            path.pop_back();
            continue;
        }
        path.push_back(next.node->function);
        pending.push_back({next.node, true});
        for (auto it = next.node->children.rbegin(); it != next.node->children.rend(); ++it)
            pending.push_back({it->second.get(), false});
        if (next.node->count == 0) continue;
        const std::string stack = foldedstack(path);
        auto [found, added] = lineof.try_emplace(stack, lines.size());
        if (added) lines.emplace_back(stack, 0);
        lines[found->second].second += next.node->count;
    }
    for (const auto& [stack, count] : lines) out << stack << " " << count << "\n";
}

std::string profiler::foldedstack(const std::vector<std::size_t>& path) const {
    constexpr std::size_t ends = 64;  // functions kept at each end of a deep path
    std::string line;
    for (std::size_t level = 0; level < path.size(); ++level) {
        if (path.size() > 2 * ends && level == ends) {
            line += ";...";
            level = path.size() - ends;
        }
        const auto& [name, offset] = functions[path[level]];
        line += (line.empty() ? "" : ";") + foldedname(name) + "@" + std::to_string(offset);
    }
    return line;
}

}  // namespace T4VM::db
