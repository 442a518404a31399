"""`python -m tesserine`: the command-line tool."""

from .cli import main

raise SystemExit(main())
