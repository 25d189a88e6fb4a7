// error: the L2 norm of the difference between the discrete displacement and an exact
// field, summed over chunks of elements; each chunk evaluates on its own arena copy.
#include <algorithm>
#include <cmath>

#include "api/nexus.hpp"
#include "elems/tet_error.hpp"
#include "lacc/misc.hpp"
#include "lacc/pool.hpp"

namespace quarvex {

double error(const Nexus& model, Arena arena, std::vector<std::uint64_t> nodes) {
    const BodyLoad field{std::move(arena), 3, 1, std::move(nodes)};
    const std::size_t n = model.tets.size();
    const std::size_t c = chunk_len(n);
    const double total = parallel_sum(chunk_count(n, c), [&](std::size_t first_chunk, std::size_t last_chunk) {
        double sum = 0.0;
        for (std::size_t chunk = first_chunk; chunk < last_chunk; ++chunk) {
            Arena chunk_arena = field.arena;
            double chunk_sum = 0.0;
            const std::size_t end = std::min(n, (chunk + 1) * c);
            for (std::size_t e = chunk * c; e < end; ++e)
                chunk_sum += element_error(model.tets[e], chunk_arena, field.nodes, model.sol, model.bc);
            sum += chunk_sum;
        }
        return sum;
    });
    return std::sqrt(total);
}

}  // namespace quarvex
