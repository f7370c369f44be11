#pragma once
// An enumerator over a list of interfaces taken when it was made (the filters
// of a graph, the devices of a category): later changes to the source do not
// show in it. IEnum is the enumerator interface (IEnumFilters, IEnumMoniker),
// Item the interface it hands out, counted.

#include "platform/com/ComServer.h"

#include <vector>

namespace th::dshow {

template <class IEnum, class Item>
class CEnumSnapshot final : public th::com::ComObject<IEnum>, public th::com::server::ModuleObject {
public:
    explicit CEnumSnapshot(std::vector<ComPtr<Item>> items, std::size_t position = 0)
        : m_items(std::move(items)), m_position(position)
    {
    }

    HRESULT Next(ULONG count, Item** items, ULONG* fetched) override
    {
        if (!items)
            return E_POINTER;
        if (!fetched && count > 1)
            return E_INVALIDARG;
        ULONG got = 0;
        while (got < count && m_position < m_items.size())
            m_items[m_position++].CopyTo(&items[got++]);
        if (fetched)
            *fetched = got;
        return got == count ? S_OK : S_FALSE;
    }
    HRESULT Skip(ULONG count) override
    {
        const std::size_t left = m_items.size() - m_position;
        if (count > left) {
            m_position = m_items.size();
            return S_FALSE;
        }
        m_position += count;
        return S_OK;
    }
    HRESULT Reset() override
    {
        m_position = 0;
        return S_OK;
    }
    HRESULT Clone(IEnum** clone) override
    {
        if (!clone)
            return E_POINTER;
        *clone = new CEnumSnapshot(m_items, m_position);
        return S_OK;
    }

private:
    std::vector<ComPtr<Item>> m_items;
    std::size_t m_position;
};

} // namespace th::dshow
