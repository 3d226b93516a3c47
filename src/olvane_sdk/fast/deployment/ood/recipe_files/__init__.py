"""What a recipe directory holds and how it is read, below everything that
reads it: the layout (:mod:`.layout`), the reference texts' term profile
(:mod:`.terms`), the served-model mapping of ``OLVANE_SHIFT_RECIPES``
(:mod:`.mapping`), and the recipe's identities and version in place
(:mod:`.identity`). Building and adopting are :mod:`..recipes`."""
