"""The end-to-end benchmark, run as `python3 -m end_to_end` from bench/ (see __main__)."""
