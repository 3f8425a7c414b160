"""The host tree that _ConsistencyCheck walks: one top-level node per flash sector record, below it one group
per field (id, versionB, versionC, versionD), each holding that field's node, whose data is the field's offset.
Handles are node numbers + 1, so none is null."""
from __future__ import annotations

import ctypes
from typing import Any, Callable, Dict, List, Optional, Sequence

from ._native import INFO_BLOCK_SIZE, TREE_CALLS, EntryRecord, TDCTree, u8
from .records import INFO_ID, INFO_VERSION_B, INFO_VERSION_C, INFO_VERSION_D, FlashSector

FIELDS = (("id", INFO_ID), ("versionB", INFO_VERSION_B), ("versionC", INFO_VERSION_C),
          ("versionD", INFO_VERSION_D))


class FirmwareTree:
    def __init__(self, sectors: Sequence[FlashSector]) -> None:
        self._data: List[Optional[int]] = []
        self._parent: List[Optional[int]] = []
        self._children: List[List[int]] = []
        self._state: List[Optional[int]] = []
        self.tops: List[int] = []
        self._keep: List[Any] = []  # the blocks and records the library reads through pointers
        for sector in sectors:
            block = (u8 * INFO_BLOCK_SIZE).from_buffer_copy(sector.raw)
            record = EntryRecord(ctypes.cast(block, ctypes.POINTER(u8)))
            self._keep += [block, record]
            top = self._add(None, ctypes.addressof(record))
            self.tops.append(top)
            for _, offset in FIELDS:
                self._add(self._add(top, None), offset)
        calls: Dict[str, Callable[..., Any]] = {
            "getFirstNode": lambda context: self._handle(self.tops[0] if self.tops else None),
            "getFirstChild": lambda context, node: self._handle(next(iter(self._children[node - 1]), None)),
            "getNextSibling": lambda context, node: self._handle(self._after(node - 1)),
            "getParent": lambda context, node: self._handle(self._parent[node - 1]),
            "getData": lambda context, node: self._data[node - 1],
            "setStateIndex": lambda context, node, state: self._state.__setitem__(node - 1, state)}
        # The function pointers live as long as the tree.
        self._calls = {name: TREE_CALLS[name](call) for name, call in calls.items()}
        self.tree = TDCTree(None, **self._calls)

    def _add(self, parent: Optional[int], data: Optional[int]) -> int:
        self._data.append(data)
        self._parent.append(parent)
        self._children.append([])
        self._state.append(None)
        node = len(self._data) - 1
        if parent is not None:
            self._children[parent].append(node)
        return node

    @staticmethod
    def _handle(node: Optional[int]) -> Optional[int]:
        return None if node is None else node + 1

    def _after(self, node: int) -> Optional[int]:
        parent = self._parent[node]
        siblings = self.tops if parent is None else self._children[parent]
        at = siblings.index(node) + 1
        return siblings[at] if at < len(siblings) else None

    def handle_of(self, k: int) -> int:
        return self.tops[k] + 1

    def marks(self, k: int, state: int) -> List[str]:
        """The fields marked below record k; "id" when its id group is (a duplicate id marks only that)."""
        groups = self._children[self.tops[k]]
        fields = [name for (name, _), group in zip(FIELDS, groups)
                  if name != "id" and self._state[self._children[group][0]] == state]
        return (["id"] if self._state[groups[0]] == state else []) + fields
