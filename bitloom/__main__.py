"""python -m bitloom: the bitloom command (see bitloom.cli)."""

from bitloom.cli import main

raise SystemExit(main())
