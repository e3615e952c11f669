"""``python -m tessellon_index``: the ``tessellon-index`` command line."""

from tessellon_index.cli import main

if __name__ == "__main__":
    raise SystemExit(main())
