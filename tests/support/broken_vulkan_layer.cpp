// A Vulkan layer that stands in for a broken GPU driver: the instance and its
// devices are listed as usual, and opening a device crashes the process, as a
// faulty driver does. Enabled by a test through VK_INSTANCE_LAYERS.
#include <cstdlib>
#include <cstring>
#include <vulkan/vk_layer.h>

namespace {

PFN_vkGetInstanceProcAddr nextGetInstanceProcAddr = nullptr;

VKAPI_ATTR VkResult VKAPI_CALL createInstance(const VkInstanceCreateInfo *info,
                                              const VkAllocationCallbacks *allocator,
                                              VkInstance *instance)
{
    auto *link = static_cast<VkLayerInstanceCreateInfo *>(const_cast<void *>(info->pNext));
    while (link && !(link->sType == VK_STRUCTURE_TYPE_LOADER_INSTANCE_CREATE_INFO &&
                     link->function == VK_LAYER_LINK_INFO))
        link = static_cast<VkLayerInstanceCreateInfo *>(const_cast<void *>(link->pNext));
    if (!link)
        return VK_ERROR_INITIALIZATION_FAILED;
    nextGetInstanceProcAddr = link->u.pLayerInfo->pfnNextGetInstanceProcAddr;
    link->u.pLayerInfo = link->u.pLayerInfo->pNext;
    const auto create = reinterpret_cast<PFN_vkCreateInstance>(
        nextGetInstanceProcAddr(nullptr, "vkCreateInstance"));
    return create(info, allocator, instance);
}

VKAPI_ATTR VkResult VKAPI_CALL createDevice(VkPhysicalDevice, const VkDeviceCreateInfo *,
                                            const VkAllocationCallbacks *, VkDevice *)
{
    std::abort();
}

} // namespace

extern "C" VKAPI_ATTR PFN_vkVoidFunction VKAPI_CALL brokenGetInstanceProcAddr(VkInstance instance,
                                                                              const char *name)
{
    if (!std::strcmp(name, "vkGetInstanceProcAddr"))
        return reinterpret_cast<PFN_vkVoidFunction>(brokenGetInstanceProcAddr);
    if (!std::strcmp(name, "vkCreateInstance"))
        return reinterpret_cast<PFN_vkVoidFunction>(createInstance);
    if (!std::strcmp(name, "vkCreateDevice"))
        return reinterpret_cast<PFN_vkVoidFunction>(createDevice);
    return nextGetInstanceProcAddr ? nextGetInstanceProcAddr(instance, name) : nullptr;
}

// Never reached: no device is ever created through this layer.
extern "C" VKAPI_ATTR PFN_vkVoidFunction VKAPI_CALL brokenGetDeviceProcAddr(VkDevice, const char *)
{
    return nullptr;
}
