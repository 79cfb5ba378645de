int velmard_placeholder = 0;
