// The built-in globals of the program root, attached in the order they are made.
#include "vm/builtins.h"

namespace T4VM {

void attachbuiltins(variable& root) {
    attachfiles(root);  // "stdout", "stdin", "open"
    auto& attributes = root.attributes;
    attributes["sizeof"] = getcustomfuncvar(builtin::sizeoffunc);
    attributes["varconv"] = getcustomfuncvar(builtin::varconv);
    attributes["system"] = getcustomfuncvar(builtin::execcmd);
    attributes["filesystem"] = getfilesys();
    attributes["hasattr"] = getmodulevar(builtin::hasattr);
    attributes["getattr"] = getmodulevar(builtin::getattr);
    attributes["setattr"] = getmodulevar(builtin::setattr);
    attributes["str"] = getmodulevar(builtin::asstr);
    attributes["int"] = getmodulevar(builtin::asint);
    attributes["float"] = getmodulevar(builtin::asfloat);
    attributes["_taskcreate"] = getmodulevar(builtin::Tcreate);
    attributes["_taskstart"] = getmodulevar(builtin::Tstart);
    attributes["_taskstop"] = getmodulevar(builtin::Tstop);
}

}  // namespace T4VM
