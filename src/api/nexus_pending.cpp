// Operations not built yet.
#include "api/nexus.hpp"
#include "base/failure.hpp"

namespace quarvex {

void assemble(Nexus&) { panic("not implemented"); }
DomEdges plot_dom(const Nexus&) { panic("not implemented"); }
DispEdges plot_disp(const Nexus&) { panic("not implemented"); }
double error(const Nexus&, Arena, std::vector<std::uint64_t>) { panic("not implemented"); }

}  // namespace quarvex
