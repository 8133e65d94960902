// The model hub's listing, as a broken, hostile or changed hub may send it:
// the parser gives models whose names and sizes are what the body says, or none.
#include "models/catalogue.h"
#include "models/model_store.h"

#include <cstdint>
#include <cstdlib>

using namespace parlotta;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    const QByteArray body(reinterpret_cast<const char *>(data), qsizetype(size));
    const std::optional<ModelListing> listing = parseModelListing(body);
    if (!listing)
        return 0;
    for (const ModelEntry &model : listing->models) {
        if (!body.contains(model.name.toUtf8()) && !model.name.isEmpty() && !body.contains('\\'))
            std::abort(); // a name from nowhere
        (void)formatBytes(model.size);
        (void)modelDescription(model.name, recommendedModel(false), 0.5);
    }
    for (const QByteArray &sha : listing->sha256)
        if (sha.size() != 64)
            std::abort();
    // The Parakeet repository's listing keeps only Parakeet names.
    const std::optional<ModelListing> parakeet = parseModelListing(body, ModelEngine::Parakeet);
    if (!parakeet)
        std::abort(); // the same body, the same shape
    for (const ModelEntry &model : parakeet->models)
        if (engineOfModelName(model.name) != ModelEngine::Parakeet)
            std::abort();
    return 0;
}
