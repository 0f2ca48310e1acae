// Every place where the machine skips work the rules of copying would have it do, decided here and
// nowhere else. Each shortcut is taken only where nothing a program can observe could tell it
// apart from the work it skips: the facts about the code come from its decoded form, the rest from
// the one run-time condition below. The plain build (T4VM_PLAIN) takes none of them, following the
// copy rules literally, and serves as the oracle the fast build is compared with.
#pragma once

#include "vm/decode.h"
#include "vm/machine.h"

namespace T4VM {

#ifdef T4VM_PLAIN
inline constexpr bool plainbuild = true;
#else
inline constexpr bool plainbuild = false;
#endif

// Shortcuts rest on knowing what runs next in this context. With another context runnable, an
// instruction of it comes in between and could read or change any shared object (the scratch
// numbers among them). A tool watching the run (debughook.h) looks at objects between any two
// steps, so it gets the objects the plain rules make.
inline bool shortcutsallowed() { return !plainbuild && vm().alone; }

namespace shortcut {

// A load of a number, text or pointer may push the found object itself instead of its named copy
// when an arithmetic or comparison will read it and drop it. Until then only an error report
// could see the entry, and it names it: the object must already carry the name the copy would
// have, except where nothing can report before the reader: right before it only a spent
// instruction budget could, and with one load or constant in between, that one too
// (`nextcannotreport` says whether it can).
template <typename nextcheck>
inline bool loaduncopied(const instruction& in, const variable& found, const std::string& name,
                         nextcheck nextcannotreport) {
    if (in.readerahead == 0 || !found.isvaluetype() || !shortcutsallowed()) return false;
    if (&found.name.str() == &name) return true;
    if (vm().sandbox.instructionbudget != 0) return false;
    return in.readerahead == 1 || nextcannotreport();
}

// A number constant read the same way may be one of the machine's scratch objects.
inline bool constantinscratch(const instruction& in) {
    return (in.form == operandform::integer || in.form == operandform::floating) && in.readerahead != 0 &&
           shortcutsallowed();
}

// So may a text constant: the reader reads its bytes, which the scratch object shares with the code.
inline bool textinscratch(const instruction& in) {
    return in.form == operandform::text && in.readerahead != 0 && shortcutsallowed();
}

// So may the number an arithmetic makes, when an arithmetic or comparison reads it the same way:
// nothing else ever sees it.
inline bool resultinscratch(const instruction& in) { return in.readerahead != 0 && shortcutsallowed(); }

// A truth value read only as a condition or an operand may be a scratch object: by the loop whose
// body ends right after it (`atend`, with `loopends` saying the loop is waiting for exactly this
// frame), by the block instruction that follows, or by arithmetic.
inline bool truthinscratch(const instruction& in, bool atend, bool loopends) {
    if (!shortcutsallowed()) return false;
    if (atend) return loopends;
    return in.blockahead || in.readerahead != 0;
}

// A store, or an object scope opened on the value, may take the object the previous step made and
// pushed (`fresh`, referred to by nothing but the top of the data stack) instead of a copy of it:
// nobody could ever tell the two apart, and no object is made in between, so creation order stays
// the same.
inline bool bindfresh(const variable* entry, const variable* fresh) { return !plainbuild && entry == fresh; }

// An instruction that pops a value only to read it (arithmetic, comparisons, conditions) needs no
// copy of it: nothing can see the copy.
inline bool readuncopied() { return !plainbuild; }

// A constant decoded from the code is a fresh object nothing else refers to; the copy the rules
// make of it would be made right after it. Numbers, texts, classes and functions serve as their
// own constant; containers and values taken from the stack are copied, since their copies share
// or renumber the objects inside.
inline bool constantuncopied(const variable& decoded, bool fromstack) {
    return !plainbuild && !fromstack && decoded.identifier != typeident::builtin_list &&
           decoded.identifier != typeident::builtin_dict;
}

// An ifblock whose condition is the int 0 runs nothing: the function object its block operand
// would become is unreachable as soon as it is made, so it is not made (its creation number is
// still taken). Any other condition takes the usual way, which may report it.
inline bool skipunrunblock(const instruction& in, const varstack& data) {
    return !plainbuild && in.form == operandform::function && !data.empty() &&
           data.back()->identifier == typeident::builtin_int && data.back()->intval == 0;
}

// The body of a loop that has run off its end may start its next iteration in the same frames
// instead of closing them and opening new ones: a program sees exactly what the close and reopen
// give.
inline bool reuseloopframes() { return !plainbuild; }

// A number in a list, or a dictionary's value, that nothing but its place there refers to may be
// kept as the number alone, and its object made again, with the same creation number and name,
// when something asks for it. A tool watching the run may hold on to objects the collector cannot
// see.
inline bool keepunsharednumbers() { return !plainbuild && vm().hook == nullptr; }

// A for-each loop over a list may bind a number the list keeps as a stand-in object of the loop's
// own, holding the number's value, name and creation number, instead of making the number's object
// again for each item, when its block lets the objects of its frame out only as copies
// (sealsframe): then only the loads of the binding see it, and they see the number, as a copy or
// read as it is. When the loop ends, the item it bound last is bound as its object. A tool watching
// the run may look at the frames, so it gets the objects.
inline bool standinelement() { return keepunsharednumbers(); }

// A method looked up by name on a value whose methods are unmade may be made alone: the others
// keep the creation numbers their table reserved, and are made before anything could see which
// of them exist as objects.
inline bool makeonemethod() { return !plainbuild; }

// A method of a text called on a local in one group of steps (runmethodcall) may run on the local's
// own text instead of the copy its load would make, with an object of the machine's own standing in
// for the method the copy's table would make (standinmethod). The copy's creation number and those
// its table reserves are taken all the same. The text's natives read their receiver's bytes alone,
// which the copy shares, and nothing else could see the copy or its method before the group's
// `leave` drops them: the copy only has to be the fresh text with unmade methods that a copy of a
// text whose methods nobody has looked at is.
inline bool callontext(const variable& text) {
    return shortcutsallowed() && text.identifier == typeident::builtin_string && text.dictval.empty() &&
           text.attributes.ispending() && text.attributes.pendingkind() == methodkind::string &&
           !text.attributes.copymark && text.copyentry == 0;
}

// A number appended to a list by a method call on a local (runappendnumber) may go into the list as
// the kept number the collector would make of its object at its next look, without the object ever
// being made: nothing but the list would ever refer to it. Its creation number is taken all the
// same. A tool watching the run may look at the data stack between the steps.
inline bool appendnumber() { return keepunsharednumbers(); }

// A dictionary's get or contains called on a local with a local's number or text as its key
// (runlookup) may look the key up as the local holds it: the native only reads its argument, and
// nothing but the native would ever see the copy the load makes, which is then never made. A copy
// of a plain number is its fields and one creation number (getcopy's first case); one of a text
// whose methods nobody has looked at is its bytes, its creation number and its table's (see
// callontext). A tool watching the run may look at the data stack between the steps.
inline bool lookupuncopied(const variable& key) {
    if (!keepunsharednumbers() || !shortcutsallowed()) return false;
    return key.isplainnumber() || callontext(key);
}

// The value `get` finds there may then, when the dictionary keeps it as a number, be pushed as a
// scratch object holding it rather than made into the dictionary's own object again, if an
// arithmetic or comparison reads it next (`leave`, the call's last step, says so): the reader
// reads it and drops it, and the scratch carries the value, name and creation number the object
// would have, for a report to show. The dictionary keeps the number, as the collector would have
// it keep the object at its next look.
inline bool valueinscratch(const instruction& leave) {
    return leave.readerahead != 0 && keepunsharednumbers() && shortcutsallowed();
}

// A top-level store gives the program root a copy of the value. The root's copy for that name may
// be made into the new one instead of making another object, when nothing else can refer to it:
// it was made as such a copy (rootcopy) and changed in place by nothing since; nothing but the
// machine's loads, which copy it or hand it to an arithmetic that only reads it, reached the root's
// attributes since it was made (no pointer, no scope entered, no native, no look at the root's
// map: notereached); and the machine has one context and no tool watching, so no other data
// stack can hold it either.
inline bool reuserootcopy(const machine& m, const variable& held) {
    return !plainbuild && held.rootcopy && held.seq >= m.reachedmark && m.everycontext.size() == 1 &&
           m.hook == nullptr;
}

// The number an arithmetic makes for the store to a local that comes next may wait in a scratch
// object, with the creation number its own object would have had, until the store decides which
// object it becomes (see reusebinding). Nothing can run between the two: no other context, no tool,
// no budget that could end the step in between.
inline bool resultforstore(const instruction& in) {
    return in.storeahead && shortcutsallowed() && vm().sandbox.instructionbudget == 0;
}

// A store to a local may make the object the frame holds for that name into the new value, instead
// of binding a new object, when nothing but the frame's own copies can refer to it: a store bound
// it as a plain number nothing else held (framebound), and nothing changed it in place since; it
// is no dictionary key; nothing reached a frame's variables or the program root's attributes since
// it was made (no pointer, no native's lookup, no saved frame: notereached); and the machine has
// one context and no tool watching (a change of either also moves the mark). The copies of a frame
// that blocks and loops take hold the same binding, but the frame a copy was taken from is read
// again only after the copy has been merged back into it, when the binding holds the newest value
// either way.
inline bool reusebinding(const machine& m, const variable& held) {
    return !plainbuild && held.framebound && held.seq >= m.reachedmark && !held.dictkey && m.alone;
}

// After an instruction that stays in its frame (opflag::inframe), the instructions that follow it
// in the frame and stay in it too may run without the checks around each step, whose answers they
// cannot change. Only the machine's own loop over a single context takes it.
inline bool runinframe() { return !plainbuild; }

}  // namespace shortcut

}  // namespace T4VM
